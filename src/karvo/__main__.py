"""``python -m karvo``: the ``karvo`` command."""
import sys

from ._cli.main import main

sys.exit(main())
