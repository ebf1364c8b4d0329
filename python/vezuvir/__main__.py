"""``python -m vezuvir``: the command line."""

import sys

from vezuvir.cli import main

sys.exit(main())
