"""The computing engine and the offline dataset shaper.

`VelmoraComputing` is resolved on first access, so that importing
`dataset_shaper` alone does not load the engine module.
"""


def __getattr__(name: str):
    if name == "VelmoraComputing":
        from .velmora_computing import VelmoraComputing

        return VelmoraComputing
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
