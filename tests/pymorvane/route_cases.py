"""Registry answers and what a lookup makes of them: one table for the test-only module on an
ephemeral port and for the production module (as built, or installed from the wheel) on port 43
of a private network namespace, so that every build proves itself on the same cases."""

FRAMED_ANSWERS = [
    (b"A29\n192.0.2.0/24 198.51.100.0/24\nC\n", ["192.0.2.0/24", "198.51.100.0/24"]),
    (b"A0\nC\n", []),
    (b"A+0005\n1 \t2\nC\n", ["1", "2"]),
    (b"A16\n10.0.0.0/8 \xe2\x80\x83x\nC\n", ["10.0.0.0/8", "x"]),  # EM SPACE splits too
    (b"A20\n1.0.0.0/8 1.0.0.0/8\n", ["1.0.0.0/8"] * 2),  # repeats kept; "C" never awaited
]

FAILED_ANSWERS = [
    (b"D\n", "Failed to fetch routes: cannot parse integer from empty string"),
    (b"F Invalid AS number\n", "Failed to fetch routes: invalid digit found in string"),
    (b"A99999999999999999999\n", "Failed to fetch routes: number too large to fit in target type"),
    (b"A100\n192.0.2.0/24\nC\n", "Failed to fetch routes: early eof"),
    (b"", "Failed to fetch routes: connection closed before a reply header arrived"),
    (b"A5\n1\xff2.\n", "Failed to fetch routes: invalid utf-8 sequence of 1 bytes from index 1"),
]

# 50 ASes, each asked 4 times at once.
CONCURRENT_ROUTES = {asn: [f"10.{asn % 256}.0.0/16", f"10.{asn % 256}.1.0/24"] for asn in range(64496, 64546)}
