"""`python -m velk_tools` runs the `velk` command line."""

import sys

from velk_tools.cli import main

if __name__ == "__main__":
    sys.exit(main())
