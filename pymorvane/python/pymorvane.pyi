import asyncio
import typing

__all__ = ["fetch_routes"]

def fetch_routes(asn: typing.SupportsIndex) -> asyncio.Future[list[str]]: ...
