"""tessel: native core of a database-access package (rows, value conversion, immutable mappings)."""

import importlib
import sys
from typing import Any

# convkit builds dates and times through the C datetime module's types, which
# keep part of themselves per interpreter (3.13 on), made when that
# interpreter imports _datetime.  A legacy subinterpreter shares convkit
# without running its initialisation (which imports it), so the package,
# which every interpreter imports first, imports it for that interpreter;
# and where it can't be imported, convkit is refused there by name rather
# than hand out objects of types the interpreter never set up.
try:
    importlib.import_module("_datetime")
except ImportError as _error:
    _datetime_refusal = _error

    class _RefuseConvkit:
        """Finds nothing but refuses tessel.convkit, in the interpreter that can't import _datetime."""

        @staticmethod
        def find_spec(name: str, path: Any = None, target: Any = None) -> None:
            if name == "tessel.convkit":
                raise ImportError(
                    "tessel.convkit builds dates and times with the C datetime module (_datetime), "
                    "which this interpreter can't import",
                    name=name,
                ) from _datetime_refusal

    sys.meta_path.insert(0, _RefuseConvkit)


# DecimalResultProcessor reports its name as tessel.DecimalResultProcessor,
# and pickles find a type by the name it reports.  Looked up here only when
# asked for, so that importing the package imports no native module (which
# on a free-threaded interpreter would switch the GIL on).
def __getattr__(name: str) -> Any:
    if name == "DecimalResultProcessor":
        from tessel.engine import convkit  # the host's one import place

        return convkit.DecimalResultProcessor
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
