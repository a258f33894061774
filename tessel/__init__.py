"""tessel: native core of a database-access package (rows, value conversion, immutable mappings)."""

from typing import Any


# DecimalResultProcessor reports its name as tessel.DecimalResultProcessor,
# and pickles find a type by the name it reports.  Looked up here only when
# asked for, so that importing the package imports no native module (which
# on a free-threaded interpreter would switch the GIL on).
def __getattr__(name: str) -> Any:
    if name == "DecimalResultProcessor":
        from tessel.engine import convkit  # the host's one import place

        return convkit.DecimalResultProcessor
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
