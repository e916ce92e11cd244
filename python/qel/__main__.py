"""`python -m qel`: the same as the `qel` command."""

import sys

from qel.cli import main

sys.exit(main())
