"""The engine the command-line tests run: the compiled one when built, else the reference.

Import the `engine` fixture into a test module to use it.
"""

import pytest
import reference

from velmorakit import native


def _native_built() -> bool:
    try:
        native.computing_class()
        native.shaper_class()
    except Exception:
        return False
    return True


NATIVE = _native_built()


@pytest.fixture
def engine(monkeypatch):
    if not NATIVE:
        monkeypatch.setattr(native, "extract_segments", reference.reference_extract_segments)
        monkeypatch.setattr(native, "computing_class", lambda: reference.ReferenceComputing)
        monkeypatch.setattr(native, "shaper_class", lambda: reference.ReferenceShaper)
    return native
