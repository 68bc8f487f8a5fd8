"""pymorvane-routes: the IPv4 prefixes that autonomous systems originate, as route filters.

The command looks AS numbers up through pymorvane.fetch_routes, a bounded number at a time, and
writes the prefixes as one list (their union) or one list per AS, in the formats of bgpq4 or as
JSON lines. `pymorvane-routes --help` lists its options; `python -m pymorvane_routes` is the same
command.
"""

from pymorvane_routes.cli import main

__all__ = ["main"]
