"""The real route-fetch job, end to end through entry, bridge, runtime and client, against the
registry emulator on an ephemeral loopback port."""

import asyncio
import pathlib
import shutil
import subprocess

import pytest

import _pymorvane_testing
from irr_emulator import serve_in_thread
from route_cases import CONCURRENT_ROUTES, FAILED_ANSWERS, FRAMED_ANSWERS
from support.ports import refused_port
from support.wait import until

fetch_routes_from = _pymorvane_testing.fetch_routes_from


def lookup(aio, address: str, asn: int):
    async def main():
        return await asyncio.wait_for(fetch_routes_from(address, asn), 30)

    return aio(main())


def test_prefixes_in_payload_order_and_query_bytes(aio):
    routes = {3333: ["193.0.0.0/21", "193.0.10.0/23", "193.0.22.0/23"]}
    with serve_in_thread(routes) as emulator:
        assert lookup(aio, f"127.0.0.1:{emulator.port}", 3333) == routes[3333]
        assert until(lambda: emulator.records and emulator.records[0].closed_at)
        assert bytes(emulator.records[0].received) == b"!gAS3333\n"


@pytest.mark.parametrize("reply,expected", FRAMED_ANSWERS)
def test_framed_answers(aio, reply, expected):
    with serve_in_thread({}, mode="raw", raw=reply, hold=True) as emulator:
        assert lookup(aio, f"127.0.0.1:{emulator.port}", 64496) == expected


@pytest.mark.parametrize("reply,message", FAILED_ANSWERS)
def test_failures_become_connection_errors(aio, reply, message):
    with serve_in_thread({}, mode="raw", raw=reply) as emulator:
        with pytest.raises(ConnectionError) as info:
            lookup(aio, f"127.0.0.1:{emulator.port}", 64496)
    assert type(info.value) is ConnectionError
    assert info.value.args == (message,)


def test_negative_and_zero_as_numbers_are_sent_as_written(aio):
    with serve_in_thread({0: ["10.0.0.0/8"]}) as emulator:
        address = f"127.0.0.1:{emulator.port}"
        assert lookup(aio, address, 0) == ["10.0.0.0/8"]
        with pytest.raises(ConnectionError, match="^Failed to fetch routes: "):
            lookup(aio, address, -5)
        assert until(lambda: len(emulator.records) == 2 and emulator.records[1].closed_at)
        assert bytes(emulator.records[1].received) == b"!gAS-5\n"


def test_connect_failures(aio):
    with pytest.raises(ConnectionError) as info:
        lookup(aio, f"127.0.0.1:{refused_port()}", 64496)
    assert info.value.args == ("Failed to connect: Connection refused (os error 111)",)

    with pytest.raises(ConnectionError) as info:
        lookup(aio, "no-such-host.invalid:43", 64496)
    assert info.value.args[0].startswith("Failed to connect: failed to lookup address information: ")

    with pytest.raises(ConnectionError) as info:
        lookup(aio, "not an address", 64496)
    assert info.value.args[0].startswith("Failed to connect: ")


@pytest.fixture(scope="module")
def latin1_locale(tmp_path_factory) -> pathlib.Path:
    """A French Latin-1 locale compiled into a private directory (for LOCPATH). With it, the C
    library's French messages come in ISO-8859-1: "Connexion refusée" with é as the lone byte
    0xE9, which is not UTF-8."""
    if shutil.which("localedef") is None:
        pytest.skip("no localedef (Debian's locales package)")
    path = tmp_path_factory.mktemp("locales")
    subprocess.run(["localedef", "-i", "fr_FR", "-f", "ISO-8859-1", str(path / "fr_FR.ISO-8859-1")],
                   capture_output=True)
    if not (path / "fr_FR.ISO-8859-1").exists():
        pytest.skip("localedef could not build fr_FR.ISO-8859-1")
    return path


def test_os_error_texts_are_decoded_with_the_locale_codec_as_python_decodes_its_own(
        run_python, latin1_locale):
    # The interpreter takes LC_CTYPE from the environment at start; strerror follows LC_MESSAGES,
    # which only setlocale(LC_ALL, "") takes too. LANGUAGE would override the messages' language.
    out = run_python(f"""
        import asyncio, errno, locale, os, _pymorvane_testing
        locale.setlocale(locale.LC_ALL, "")
        expected = "Failed to connect: " + os.strerror(errno.ECONNREFUSED) + " (os error 111)"

        async def main():
            try:
                await _pymorvane_testing.fetch_routes_from("127.0.0.1:{refused_port()}", 64496)
            except Exception as e:
                return e

        e = asyncio.run(main())
        assert type(e) is ConnectionError and e.args == (expected,), ascii(e.args)
        print(ascii(locale.getencoding()), ascii(e.args[0]))
    """, env={"LOCPATH": str(latin1_locale), "LC_ALL": "fr_FR.ISO-8859-1", "LANGUAGE": "",
             "PYTHONUTF8": "0"})
    # The text is the C library's French one (é is the lone byte 0xE9 in that locale).
    assert out == "'ISO-8859-1' 'Failed to connect: Connexion refus\\xe9e (os error 111)'\n"


def test_silent_server_stays_pending_until_cancelled_and_cancel_closes_at_once(aio):
    with serve_in_thread({}, mode="silent") as emulator:

        async def main():
            fut = fetch_routes_from(f"127.0.0.1:{emulator.port}", 64496)
            done, _ = await asyncio.wait([fut], timeout=0.5)
            assert not done
            assert len(emulator.records) == 1 and not emulator.records[0].peer_closed
            fut.cancel()
            await asyncio.sleep(0)
            assert fut.cancelled()

        aio(main())
        assert until(lambda: emulator.records[0].peer_closed)


def test_two_calls_in_flight_use_two_connections_and_fail_independently(aio):
    with serve_in_thread({}, mode="hold") as holding, serve_in_thread({64496: ["192.0.2.0/24"]}) as normal:

        async def main():
            held = [fetch_routes_from(f"127.0.0.1:{holding.port}", 64496) for _ in range(2)]
            refused = fetch_routes_from(f"127.0.0.1:{refused_port()}", 64496)
            good = fetch_routes_from(f"127.0.0.1:{normal.port}", 64496)
            assert await asyncio.wait_for(good, 30) == ["192.0.2.0/24"]
            with pytest.raises(ConnectionError):
                await asyncio.wait_for(refused, 30)
            return held

        # "hold" answers with D and keeps the connection open; each call has its own.
        async def run():
            held = await main()
            results = await asyncio.wait_for(asyncio.gather(*held, return_exceptions=True), 30)
            assert all(isinstance(r, ConnectionError) for r in results)

        aio(run())
        assert len(holding.records) == 2


def test_many_concurrent_lookups(aio):
    routes = CONCURRENT_ROUTES
    with serve_in_thread(routes) as emulator:

        async def main():
            futs = [fetch_routes_from(f"127.0.0.1:{emulator.port}", asn) for asn in routes for _ in range(4)]
            return await asyncio.wait_for(asyncio.gather(*futs), 60)

        results = aio(main())
    expected = [routes[asn] for asn in routes for _ in range(4)]
    assert results == expected
