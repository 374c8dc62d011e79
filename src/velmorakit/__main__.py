"""`python -m velmorakit`: the same command line as the `velmorakit` script."""

import sys

from .workbench.cli import main

if __name__ == "__main__":
    sys.exit(main())
