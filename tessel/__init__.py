"""tessel: native core of a database-access package (rows, value conversion, immutable mappings).

``tessel.implementation`` says which implementation of the modules
``tessel.rowkit``, ``tessel.convkit`` and ``tessel.mapkit`` this installation
runs: ``"native"`` (the compiled extension modules, the default build) or
``"python"`` (their pure-Python twin, built with ``-Dpure_python=true``).  It is
decided by the build, never at import: a native installation whose modules
can't be found or loaded fails to import rather than fall back to the twin.
"""

import importlib as _importlib
import os as _os
import sys as _sys
from importlib.abc import Loader as _Loader
from importlib.machinery import ModuleSpec as _ModuleSpec
from types import ModuleType as _ModuleType
from typing import Any as _Any

_HERE = _os.path.dirname(__file__)

# Every native module, and the file of its pure-Python twin under tessel/_pure/.
# A new native module adds its line here (and its twin to meson.build).
_TWINS = {
    "tessel.rowkit": "rowkit.py",
    "tessel.convkit": "convkit.py",
    "tessel.mapkit": "mapkit.py",
    "tessel.engine.readers": "readers.py",
}

try:
    from tessel._implementation import implementation
except ImportError as error:
    raise ImportError(
        "tessel is installed incompletely: tessel/_implementation.py, which the build writes, is missing",
        name="tessel._implementation",
    ) from error


def _missing_native() -> list[str]:
    # The native modules with no file to load, checked before anything
    # imports them, so a half-installed package names what it lacks.
    from importlib.machinery import EXTENSION_SUFFIXES

    missing: list[str] = []
    listings: dict[str, set[str]] = {}
    for name in _TWINS:
        directory = _os.path.join(_HERE, *name.split(".")[1:-1])
        if directory not in listings:
            try:
                listings[directory] = set(_os.listdir(directory))
            except OSError:
                listings[directory] = set()
        leaf = name.rsplit(".", 1)[1]
        if not any(leaf + suffix in listings[directory] for suffix in EXTENSION_SUFFIXES):
            missing.append(name)
    return missing


class _TwinFinder:
    """Loads each pure-Python twin under its native module's name, so that
    names, pickles and imports are those of the native modules."""

    directory = _os.path.join(_HERE, "_pure")

    @classmethod
    def find_spec(cls, name: str, path: _Any = None, target: _Any = None) -> _ModuleSpec | None:
        file = _TWINS.get(name)
        if file is None:
            return None
        from importlib.util import spec_from_loader

        path = _os.path.join(cls.directory, file)
        return spec_from_loader(name, _TwinLoader(path), origin=path)


class _TwinLoader(_Loader):
    """Runs a twin's code in a namespace of its own and gives the module only
    the twin's ``__all__``: the module holds what the native one holds, and
    the twin's helpers stay out of sight."""

    def __init__(self, path: str) -> None:
        self.path = path

    def create_module(self, spec: _ModuleSpec) -> None:
        return None

    def exec_module(self, module: _ModuleType) -> None:
        from importlib.machinery import SourceFileLoader

        code = SourceFileLoader(module.__name__, self.path).get_code(module.__name__)  # cached bytecode
        if code is None:
            raise ImportError(f"no code in {self.path}", name=module.__name__)
        namespace: dict[str, _Any] = {"__name__": module.__name__, "__builtins__": __builtins__, "__file__": self.path}
        exec(code, namespace)
        module.__file__ = self.path
        module.__doc__ = namespace.get("__doc__")
        for name in namespace["__all__"]:
            setattr(module, name, namespace[name])


if implementation == "python":
    _absent = [name for name, file in _TWINS.items() if not _os.path.isfile(_os.path.join(_TwinFinder.directory, file))]
    if _absent:
        raise ImportError(
            "tessel's pure-Python build is installed incompletely: no twin of "
            + ", ".join(f"{name} (tessel/_pure/{_TWINS[name]})" for name in _absent),
            name=_absent[0],
        )
    # One finder per interpreter, ahead of the path: the twin is what runs,
    # even beside a stray native module.
    if not any(getattr(finder, "__qualname__", None) == "_TwinFinder" for finder in _sys.meta_path):
        _sys.meta_path.insert(0, _TwinFinder)
elif implementation == "native":
    _absent = _missing_native()
    if _absent:
        raise ImportError(
            "tessel's native build is installed incompletely: no extension module for "
            + ", ".join(_absent)
            + " (a pure-Python installation is built with -Csetup-args=-Dpure_python=true)",
            name=_absent[0],
        )
else:
    raise ImportError(f"tessel/_implementation.py names no known implementation: {implementation!r}")


# The native convkit builds dates and times through the C datetime module's
# types, which keep part of themselves per interpreter (3.13 on), made when
# that interpreter imports _datetime.  A legacy subinterpreter shares convkit
# without running its initialisation (which imports it), so the package,
# which every interpreter imports first, imports it for that interpreter;
# and where it can't be imported, convkit is refused there by name rather
# than hand out objects of types the interpreter never set up.  (The twin
# builds them in Python, with whatever datetime the interpreter has.)
if implementation == "native":
    try:
        _importlib.import_module("_datetime")  # by name: no stub to ask for
    except ImportError as _error:
        _datetime_refusal = _error

        class _RefuseConvkit:
            """Finds nothing but refuses tessel.convkit, in the interpreter that can't import _datetime."""

            @staticmethod
            def find_spec(name: str, path: _Any = None, target: _Any = None) -> None:
                if name == "tessel.convkit":
                    raise ImportError(
                        "tessel.convkit builds dates and times with the C datetime module (_datetime), "
                        "which this interpreter can't import",
                        name=name,
                    ) from _datetime_refusal

        _sys.meta_path.insert(0, _RefuseConvkit)


# DecimalResultProcessor reports its name as tessel.DecimalResultProcessor,
# and pickles find a type by the name it reports.  Looked up here only when
# asked for, so that importing the package imports no native module (which
# on a free-threaded interpreter would switch the GIL on).
def __getattr__(name: str) -> _Any:
    if name == "DecimalResultProcessor":
        from tessel.engine import convkit  # the host's one import place

        return convkit.DecimalResultProcessor
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
