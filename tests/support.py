"""Shared test helpers: how many examples a property runs, and outcomes of calls.

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


def outcome_of(call):
    """("value", result) or ("raise", exception type): what a call did, for comparing with a model."""
    try:
        return ("value", call())
    except Exception as e:
        return ("raise", type(e))
