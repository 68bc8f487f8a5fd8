# Typed interface of the native module pymorvane, shipped as the stub-only package
# pymorvane-stubs (PEP 561), where type checkers look for it in site-packages.
#
# Lookups that end in an internal fault raise async_bridge.FuturePanic. That class lives in the
# same shared object as pymorvane, under a second initializer; load it from pymorvane's own file
# (a copy of the file would be a second library with a different class):
#
#     import importlib.machinery, importlib.util, pymorvane
#     loader = importlib.machinery.ExtensionFileLoader("async_bridge", pymorvane.__file__)
#     spec = importlib.util.spec_from_file_location("async_bridge", pymorvane.__file__, loader=loader)
#     async_bridge = importlib.util.module_from_spec(spec)
#     loader.exec_module(async_bridge)
#     FuturePanic = async_bridge.FuturePanic     # a subclass of Exception
import asyncio
import typing

__all__ = ["fetch_routes"]

def fetch_routes(asn: typing.SupportsIndex) -> asyncio.Future[list[str]]:
    """Look up, once, the IPv4 route objects whose origin is AS `asn` at whois.radb.net.

    Needs an event loop running in this thread (RuntimeError otherwise). Returns at once a future
    of that loop; the lookup has already started on the module's own threads. The result is the
    prefixes as the registry wrote them, in its order. The future ends with ConnectionError when
    the connection or the exchange fails (also when the registry knows no routes for the AS) and
    with async_bridge.FuturePanic on an internal fault. There is no time-out: wrap the await in
    asyncio.timeout; cancelling the future closes its connection. Raises TypeError for a
    non-integer `asn` and OverflowError outside the signed 32-bit range.
    """
