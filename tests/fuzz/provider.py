"""Turns a fuzzer's bytes into choices, the same way with or without atheris.

The harnesses take their inputs through this rather than atheris' own
provider, so a corpus file replays on any interpreter (the coverage run, a
regression check) exactly as the fuzzer ran it.
"""

import struct


class Data:
    def __init__(self, data: bytes):
        self.data = data
        self.at = 0

    def left(self):
        return len(self.data) - self.at

    def byte(self):
        if self.at >= len(self.data):
            return 0
        self.at += 1
        return self.data[self.at - 1]

    def int(self, low, high):
        """An int in [low, high]; 0 bytes left gives low."""
        span = high - low
        value = 0
        for _ in range((span.bit_length() + 7) // 8):
            value = value << 8 | self.byte()
        return low + value % (span + 1)

    def flag(self):
        return self.byte() & 1 == 1

    def pick(self, choices):
        return choices[self.int(0, len(choices) - 1)]

    def bytes(self, most):
        n = min(self.int(0, most), self.left())
        self.at += n
        return self.data[self.at - n : self.at]

    def text(self, alphabet, most):
        return "".join(self.pick(alphabet) for _ in range(min(self.int(0, most), self.left())))

    def number(self):
        """An int or a float, edges included."""
        kind = self.int(0, 3)
        if kind == 0:
            return self.int(-300, 300)
        if kind == 1:
            return int.from_bytes(self.bytes(20), "little", signed=True)
        if kind == 2:
            raw = self.bytes(8).ljust(8, b"\0")
            return struct.unpack("<d", raw)[0]
        return self.pick([0.5, -0.0, 1e300, float("inf"), float("nan"), 2**63, -(2**63) - 1, 10**400, 0.125])
