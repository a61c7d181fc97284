"""``python -m karvo``: the ``karvo`` command."""
import sys

from .cli import main

sys.exit(main())
