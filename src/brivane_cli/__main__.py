"""python -m brivane_cli, the same as the command ``brivane``."""

import sys

from . import main

if __name__ == "__main__":
    sys.exit(main())
