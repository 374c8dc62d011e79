"""The computing engine and the offline dataset shaper.

`VelmoraComputing` is resolved on first access, so that importing
`dataset_shaper` alone does not load the engine module.
"""

from ..._lazy import lazy_exports

__getattr__, __dir__ = lazy_exports(__name__, {"VelmoraComputing": ".velmora_computing"})
