"""The runtime a device imports stands alone: no workbench, no plotting, no progress bars."""

import subprocess
import sys

RUNTIME_MODULES = [
    "velmorakit.middleware.velmora_gesture",
    "velmorakit.middleware.utilities.velmora_computing",
    "velmorakit.middleware.utilities.dataset_shaper",
    "velmorakit.models.gesture",
    "velmorakit.models.bundle",
    "velmorakit.conditioning",
    "velmorakit.models.rejection",
    "velmorakit.models.features",
]
WORKBENCH_ONLY = ["velmorakit.workbench", "matplotlib", "tqdm"]


def test_runtime_modules_import_without_the_workbench():
    # A fresh interpreter: this one has the workbench loaded by other tests.
    script = (
        "import importlib, sys\n"
        f"for name in {RUNTIME_MODULES!r}:\n"
        "    importlib.import_module(name)\n"
        "from velmorakit.middleware.utilities import VelmoraComputing\n"
        f"print(sorted(m for m in sys.modules if m.split('.')[0] in {WORKBENCH_ONLY!r}\n"
        "             or m.startswith('velmorakit.workbench')))\n"
    )
    run = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, check=True, timeout=60
    )
    assert run.stdout.strip() == "[]"
