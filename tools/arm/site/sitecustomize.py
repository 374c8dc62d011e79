"""Loaded at start-up by the emulated interpreters of the armhf test run (on PYTHONPATH).

Under QEMU `sys.executable` is the ARM binary itself, which a process cannot exec without
binfmt_misc; children are started through the launcher that runs it under the emulator.
"""

import os
import sys

sys.executable = sys._base_executable = os.environ["VELMORA_ARM_PYTHON"]
