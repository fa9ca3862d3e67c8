"""python -m brivane_computer: the command line ``brivane``."""

import sys

from brivane_cli import main

if __name__ == "__main__":
    sys.exit(main())
