"""Names of a package resolved from their modules on first access."""

import importlib


def lazy_exports(package: str, names: dict[str, str]):
    """`__getattr__` and `__dir__` for `package` that import `names[attr]` when `attr` is used."""

    def __getattr__(attr: str):
        module = names.get(attr)
        if module is None:
            raise AttributeError(f"module {package!r} has no attribute {attr!r}")
        return getattr(importlib.import_module(module, package), attr)

    def __dir__():
        return sorted(names)

    return __getattr__, __dir__
