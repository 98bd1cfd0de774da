"""`python -m tamrix`: the tamrix command line."""

import sys

from tamrix.cli import main

sys.exit(main())
