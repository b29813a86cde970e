"""``python -m c_quorvel``: the ``quorvel`` command line (see :mod:`c_quorvel.cli`)."""

import sys

from c_quorvel.cli import main

if __name__ == "__main__":
    sys.exit(main())
