"""Runs every benchmark of the project in turn."""

import pathlib
import runpy
import sys

HERE = pathlib.Path(__file__).resolve().parent

for script in sorted(HERE.glob("bench_*.py")):
    print(f"== {script.name}")
    sys.argv = [str(script)]
    runpy.run_path(str(script), run_name="__main__")
    print()
