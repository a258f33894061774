"""Shared test helpers."""

import os

# Leak and sanitizer runs repeat every test on slow builds.
REPEATING = os.environ.get("TESSEL_HYPOTHESIS_PROFILE") == "repeat"


def examples(n: int) -> int:
    """How many generated examples a property gets: n, or a few when tests repeat."""
    return min(n, 25) if REPEATING else n
