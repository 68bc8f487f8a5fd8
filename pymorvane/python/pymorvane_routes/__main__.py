"""python -m pymorvane_routes: the pymorvane-routes command."""

import sys

from pymorvane_routes.cli import main

sys.exit(main())
