"""The registry emulator: IRRd framing, persistent mode, fault modes, and an independent client."""

import asyncio
import shutil
import subprocess
import sys

import pytest

import irr_emulator
from irr_emulator import IrrEmulator
from support.paths import TOOLS


async def exchange(emulator: IrrEmulator, request: bytes, *, close_client: bool = False) -> bytes:
    """Sends `request` and reads until the server closes (or, if close_client, for a moment)."""
    reader, writer = await asyncio.open_connection("127.0.0.1", emulator.port)
    writer.write(request)
    await writer.drain()
    try:
        if close_client:
            # Take what arrives in a moment; the server must not have closed by then.
            got = b""
            with pytest.raises(TimeoutError):
                while chunk := await asyncio.wait_for(reader.read(100), 0.2):
                    got += chunk
            return got
        return await asyncio.wait_for(reader.read(), 10)
    finally:
        writer.close()


def run(emulator: IrrEmulator, request: bytes, **kw) -> bytes:
    async def go() -> bytes:
        await emulator.start()
        try:
            reply = await exchange(emulator, request, **kw)
            # Let the server notice the client's close before the records are read.
            for _ in range(100):
                if emulator.records and emulator.records[-1].closed_at is not None:
                    break
                await asyncio.sleep(0.01)
            return reply
        finally:
            await emulator.close()

    return asyncio.run(go())


def test_route_queries_use_irrd_framing():
    assert run(IrrEmulator(), b"!gAS64496\n") == b"A13\n192.0.2.0/24\nC\n"
    assert run(IrrEmulator(), b"!6as64496\n") == b"A14\n2001:db8::/32\nC\n"
    assert run(IrrEmulator(), b"!gAS64500\n") == b"D\n"  # IPv6 routes only
    assert run(IrrEmulator(), b"!gAS1\n") == b"D\n"
    assert run(IrrEmulator(), b"!gAS64497\n").startswith(b"A50\n198.51.100.0/24 198.51.100.0/25 ")
    assert run(IrrEmulator(), b"!gASfoo\n").startswith(b"F ")
    assert run(IrrEmulator(), b"whois me\n") == b"F Unrecognized command\n"
    # Non-ASCII data: the length counts UTF-8 bytes plus the final line feed.
    assert run(IrrEmulator({1: ["\u00e9"]}), b"!gAS1\n") == b"A3\n\xc3\xa9\nC\n"


def test_persistent_mode_answers_until_quit():
    reply = run(IrrEmulator(), b"!!\n!nme\n!s-lc\n!sDEMO\n!sNOPE\n!gAS64510\n!q\n!gAS64496\n")
    assert reply == (b"C\n" b"A5\nDEMO\nC\n" b"C\n" b"F Unrecognized source: NOPE\n"
                     b"A17\n203.0.113.128/25\nC\n")


def test_records_what_each_connection_received():
    emulator = IrrEmulator()
    run(emulator, b"!gAS64496\n")
    assert bytes(emulator.records[0].received) == b"!gAS64496\n"
    assert not emulator.records[0].peer_closed


@pytest.mark.parametrize("mode", ["silent", "hold"])
def test_silent_and_hold_keep_the_connection_until_the_peer_closes(mode):
    emulator = IrrEmulator(mode=mode)
    reply = run(emulator, b"!gAS64496\n", close_client=True)
    assert reply == (b"" if mode == "silent" else b"A13\n192.0.2.0/24\nC\n")
    assert emulator.records[0].peer_closed


def test_hostile_replies():
    assert run(IrrEmulator(mode="close-after", close_after=6), b"!gAS64496\n") == b"A13\n19"
    assert run(IrrEmulator(mode="trickle", trickle_delay=0), b"!gAS64496\n") == (
        b"A13\n192.0.2.0/24\nC\n")
    assert run(IrrEmulator(mode="raw", raw=b"A+13\r\n"), b"!gAS1\n") == b"A+13\r\n"
    assert run(IrrEmulator(mode="wrong-length"), b"!gAS1\n") == irr_emulator.PRESETS["wrong-length"]
    # Non-route commands are answered normally whatever the mode.
    assert run(IrrEmulator(mode="silent"), b"!nme\n") == b"C\n"


def test_command_line_prints_the_port_and_serves():
    proc = subprocess.Popen(
        [sys.executable, str(TOOLS / "irr_emulator.py"), "--route", "AS7=192.0.2.7/32", "--log"],
        stdout=subprocess.PIPE, text=True)
    try:
        port = int(proc.stdout.readline())

        async def go():
            reader, writer = await asyncio.open_connection("127.0.0.1", port)
            writer.write(b"!gAS7\n")
            reply = await asyncio.wait_for(reader.read(), 10)
            writer.close()
            return reply

        assert asyncio.run(go()) == b"A13\n192.0.2.7/32\nC\n"
        assert '"received": "!gAS7\\n"' in proc.stdout.readline()
    finally:
        proc.kill()
        proc.wait(10)
        proc.stdout.close()


@pytest.mark.skipif(shutil.which("bgpq4") is None, reason="bgpq4 is not installed")
def test_an_independent_client_reads_the_dataset():
    # bgpq4 refuses documentation ASNs unless -p (accept special ASNs) is given.
    with irr_emulator.serve_in_thread() as emulator:
        out = subprocess.run(["bgpq4", "-p", "-h", f"127.0.0.1:{emulator.port}", "AS64497"],
                             capture_output=True, text=True, timeout=30, check=True).stdout
        out6 = subprocess.run(["bgpq4", "-p", "-6", "-h", f"127.0.0.1:{emulator.port}",
                               "AS64498"], capture_output=True, text=True, timeout=30,
                              check=True).stdout
    assert [line.split()[-1] for line in out.splitlines() if "permit" in line] == [
        "198.51.100.0/24", "198.51.100.0/25", "198.51.100.128/25"]
    assert [line.split()[-1] for line in out6.splitlines() if "permit" in line] == [
        "2001:db8:2::/48", "2001:db8:3::/48"]
