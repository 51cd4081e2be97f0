"""`python -m zorvikdb_cli`: the zorvikdb command line."""

import sys

from zorvikdb_cli import main

sys.exit(main())
