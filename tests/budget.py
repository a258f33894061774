"""How many examples a property runs.

A property may ask for more examples than hypothesis' default in the plain
run; leak and sanitizer runs repeat every test under the "repeat" profile,
whose own small count then applies.
"""

import os

from hypothesis import settings


def examples(n):
    if os.environ.get("TESSEL_HYPOTHESIS_PROFILE", "default") == "default":
        return settings(max_examples=n)
    return settings()
