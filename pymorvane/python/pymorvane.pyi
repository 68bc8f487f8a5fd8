# Typed interface of the native module pymorvane.
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

def fetch_routes(asn: typing.SupportsIndex) -> asyncio.Future[list[str]]: ...
