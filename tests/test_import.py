import os
import subprocess
import sys
import sysconfig
import textwrap

import pytest

MODULES = ["tessel.mapkit", "tessel.convkit", "tessel.rowkit", "tessel.engine.readers"]

# Only a free-threaded build starts without the GIL and switches it on at import.
free_threaded = pytest.mark.skipif(
    not sysconfig.get_config_var("Py_GIL_DISABLED"), reason="needs the free-threaded build"
)
# Set by the test command for a build made with the free_threading option, which declares the GIL unneeded.
DECLARED_FREE_THREADED = os.environ.get("TESSEL_FREE_THREADING") == "1"
pytestmark = pytest.mark.thread_unsafe(reason="runs a subprocess")


def env_without_gil_setting(**extra):
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    env.update(extra)
    return env


@free_threaded
@pytest.mark.native_only("an extension module's declaration of the GIL")
@pytest.mark.parametrize("name", MODULES)
def test_import_switches_the_gil_on_unless_declared_free_threaded(name):
    code = f"""
import sys, warnings
assert not sys._is_gil_enabled()
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    import {name}
if {DECLARED_FREE_THREADED}:
    assert not sys._is_gil_enabled() and caught == [], caught
else:
    assert sys._is_gil_enabled()
    # The host package (tessel.engine) loads its own module with the note silenced.
    assert {name.startswith("tessel.engine.")} or any(
        issubclass(w.category, RuntimeWarning) and "{name}" in str(w.message) for w in caught), caught
"""
    subprocess.run([sys.executable, "-P", "-c", code], check=True, env=env_without_gil_setting())


def test_import_is_silent_when_the_gil_is_already_on():
    # A GIL build, or a free-threaded one started with PYTHON_GIL=1: nothing to switch, so nothing to say.
    code = "import " + ", ".join(MODULES)
    subprocess.run(
        [sys.executable, "-P", "-W", "error", "-c", code], check=True, env=env_without_gil_setting(PYTHON_GIL="1")
    )


@pytest.mark.native_only("a shared object's dynamic section")
@pytest.mark.parametrize("name", MODULES)
def test_module_does_not_link_libpython(name):
    # The interpreter's symbols come from the process that loads the module.
    import importlib
    import shutil

    readelf = shutil.which("readelf")
    if readelf is None:
        pytest.skip("readelf not available")
    path = importlib.import_module(name).__file__
    needed = subprocess.run([readelf, "-d", path], check=True, capture_output=True, text=True).stdout
    assert "libpython" not in needed


# What each new interpreter does with the modules: rows built, read by name,
# re-parented, pickled and read back, a key error from the host, a converter
# and a mapping.  Appends "ok" to the file OUT when all of it worked.
USE_IN_A_NEW_INTERPRETER = """
import pickle
from tessel.engine import convkit, mapkit
from tessel.engine.result import ResultMetaData
from tessel.engine.row import Row
meta = ResultMetaData(["a", "b"])
row = Row(meta, None, meta._keymap, 3, (1, 2))
row._parent = ResultMetaData(["a", "b"])
back = pickle.loads(pickle.dumps(row))
assert tuple(back) == (1, 2) and back.b == 2 and type(back._parent) is ResultMetaData
try:
    row["nothere"]
except KeyError as error:
    assert "nothere" in str(error)
else:
    raise AssertionError("no KeyError")
assert convkit.str_to_date("2024-03-05").year == 2024 and mapkit.immutabledict(a=1)["a"] == 1
from decimal import Decimal
from tessel.engine.sqlite import processor_for
assert processor_for("NUMERIC(5, 2)")(1.5) == Decimal("1.50") and processor_for("REAL")(3) == 3.0
with open(OUT, "a") as out:
    out.write("ok\\n")
"""

LEGACY_SUBINTERPRETERS = """
import sys
try:
    import _interpreters as interpreters

    def create():
        try:
            return interpreters.create("legacy")
        except TypeError:
            return interpreters.create(interpreters.new_config("legacy"))
except ImportError:
    import _xxsubinterpreters as interpreters

    def create():
        return interpreters.create(isolated=False)

import tessel.engine.row  # the main interpreter's own use comes first
code = f"import sys\\nsys.path[:] = {sys.path!r}\\nOUT = {sys.argv[1]!r}\\n" + sys.argv[2]
for _ in range(3):
    interp = create()
    try:
        failure = interpreters.run_string(interp, code)
        assert failure is None, failure
    finally:
        interpreters.destroy(interp)
"""


@pytest.mark.skipif(
    bool(sysconfig.get_config_var("Py_GIL_DISABLED")),
    reason="a free-threaded interpreter loads single-phase modules in no subinterpreter",
)
@pytest.mark.no_leakcheck("runs a subprocess")
def test_legacy_subinterpreters_in_turn_each_use_their_own_host(tmp_path):
    out = tmp_path / "out"
    subprocess.run(
        [sys.executable, "-P", "-c", LEGACY_SUBINTERPRETERS, str(out), USE_IN_A_NEW_INTERPRETER],
        check=True,
        env=env_without_gil_setting(),
    )
    assert out.read_text() == "ok\n" * 3


@pytest.mark.no_leakcheck("builds and runs a program")
def test_an_embedding_program_restarting_the_interpreter_uses_the_modules_each_time(tmp_path):
    import shutil
    from pathlib import Path

    config = Path(sysconfig.get_config_var("BINDIR")) / f"python{sysconfig.get_config_var('LDVERSION')}-config"
    compiler = shutil.which("cc") or shutil.which("gcc")
    if not config.exists() or compiler is None:
        pytest.skip(f"needs {config.name} and a C compiler")
    if sysconfig.get_config_var("HOST_GNU_TYPE") != sysconfig.get_config_var("BUILD_GNU_TYPE"):
        # The aarch64 interpreters run here under user-mode emulation.
        pytest.skip("a cross-built interpreter: an embedding program for it needs its cross compiler and its emulator")

    def flags(*args):
        return subprocess.run([str(config), *args], check=True, capture_output=True, text=True).stdout.split()

    program = tmp_path / "restarts"
    # A static libpython only serves the modules when the program exports its symbols.
    link = [
        *flags("--embed", "--ldflags"),
        *sysconfig.get_config_var("LINKFORSHARED").split(),
        f"-Wl,-rpath,{sysconfig.get_config_var('LIBDIR')}",
    ]
    subprocess.run(
        [compiler, "-o", str(program), str(Path(__file__).with_name("embedded_restarts.c")), *flags("--cflags"), *link],
        check=True,
    )
    out = tmp_path / "out"
    env = env_without_gil_setting(PYTHONHOME=sys.base_prefix, PYTHONPATH=sysconfig.get_path("platlib"))

    def run(code):
        return subprocess.run(
            [str(program), f"OUT = {str(out)!r}\n" + code], env=env, capture_output=True, text=True, timeout=120
        )

    # Some interpreters can't restart with their own datetime module loaded (3.12).
    control = run("import datetime, decimal, pickle")
    if control.returncode != 0:
        pytest.skip(f"this interpreter can't restart with its own datetime module: {control.stderr.strip()[-200:]}")
    done = run(USE_IN_A_NEW_INTERPRETER)
    assert done.returncode == 0, f"exit {done.returncode}\n{done.stdout}\n{done.stderr}"
    assert out.read_text() == "ok\n" * 3


@pytest.mark.no_leakcheck("runs a subprocess")
@pytest.mark.parametrize("name", MODULES)
def test_a_package_missing_a_module_fails_to_import_naming_it(name, tmp_path):
    # Either implementation: the native build without one extension, or the
    # pure one without one twin, never runs the other instead.
    import shutil

    import tessel

    package = tmp_path / "tessel"
    shutil.copytree(os.path.dirname(tessel.__file__), package, ignore=shutil.ignore_patterns("__pycache__"))
    leaf = name.rsplit(".", 1)[1]
    where = package / "_pure" if tessel.implementation == "python" else package.joinpath(*name.split(".")[1:-1])
    removed = [path for path in where.iterdir() if path.name.split(".")[0] == leaf and path.suffix != ".pyi"]
    assert removed
    for path in removed:
        path.unlink()
    done = subprocess.run(
        [sys.executable, "-P", "-c", "import tessel"],
        capture_output=True,
        text=True,
        env=env_without_gil_setting(PYTHONPATH=str(tmp_path)),
    )
    assert done.returncode != 0 and "ImportError" in done.stderr and name in done.stderr, done.stderr


def test_every_type_pickles_by_the_name_it_reports_and_the_package_imports_no_native_module():
    # Pickles name a type by the module and name it reports; the package
    # resolves tessel.DecimalResultProcessor only when asked for it.
    import pickle

    from tessel.convkit import DecimalResultProcessor, UnicodeResultProcessor
    from tessel.mapkit import immutabledict
    from tessel.rowkit import BaseRow, tuplegetter

    types = [BaseRow, tuplegetter, UnicodeResultProcessor, DecimalResultProcessor, immutabledict]
    pickles = [pickle.dumps(t, protocol) for t in types for protocol in range(pickle.HIGHEST_PROTOCOL + 1)]
    code = f"""
import pickle, sys, sysconfig
import tessel
assert not [name for name in {MODULES!r} if name in sys.modules], sys.modules.keys()
if sysconfig.get_config_var("Py_GIL_DISABLED"):
    assert not sys._is_gil_enabled()
names = [f"{{t.__module__}}.{{t.__qualname__}}" for t in map(pickle.loads, {pickles!r})]
print(" ".join(names))
"""
    done = subprocess.run(
        [sys.executable, "-P", "-W", "ignore::RuntimeWarning", "-c", code],
        check=True,
        capture_output=True,
        text=True,
        env=env_without_gil_setting(),
    )
    reported = [f"{t.__module__}.{t.__qualname__}" for t in types for _ in range(pickle.HIGHEST_PROTOCOL + 1)]
    assert done.stdout.split() == reported
    assert reported[3 * (pickle.HIGHEST_PROTOCOL + 1)] == "tessel.DecimalResultProcessor"


# A subinterpreter that refuses the C datetime module: its pure-Python
# datetime imports, but convkit's dates and times would be objects of types
# this interpreter never set up, so convkit is refused there (and with it the
# host layer, which imports all three modules); the other two still load.
WITHOUT_C_DATETIME = """
import sys
sys.modules["_datetime"] = None
try:
    import tessel.convkit
except ImportError as error:
    assert "_datetime" in str(error), error
else:
    raise AssertionError("convkit would build objects of types this interpreter never set up")
from tessel.mapkit import immutabledict
from tessel.rowkit import tuplegetter
assert tuplegetter(1)(immutabledict(a=1).values() * 2) == (1,)
with open(OUT, "a") as out:
    out.write("ok\\n")
"""


@pytest.mark.skipif(
    bool(sysconfig.get_config_var("Py_GIL_DISABLED")),
    reason="a free-threaded interpreter loads single-phase modules in no subinterpreter",
)
@pytest.mark.native_only("the C datetime types an extension module builds (the twin builds Python's own)")
@pytest.mark.no_leakcheck("runs a subprocess")
def test_convkit_is_refused_in_a_subinterpreter_without_the_c_datetime(tmp_path):
    out = tmp_path / "out"
    done = subprocess.run(
        [sys.executable, "-P", "-c", LEGACY_SUBINTERPRETERS, str(out), WITHOUT_C_DATETIME],
        capture_output=True,
        text=True,
        env=env_without_gil_setting(),
        timeout=120,
    )
    assert done.returncode == 0, f"exit {done.returncode}\n{done.stderr[-2000:]}"
    assert out.read_text() == "ok\n" * 3


# --- host modules: imported on first use, a failed import retried ---------


def test_host_module_import_is_retried_then_kept():
    script = textwrap.dedent(
        """
        import sys, warnings
        warnings.filterwarnings("ignore", "The global interpreter lock", RuntimeWarning)
        from tessel.rowkit import BaseRow

        class Meta:
            _keymap = {}

        row = BaseRow(Meta(), None, {}, 1, (1,))
        for name in ("tessel.engine.row", "tessel.engine.result"):
            sys.modules[name] = None  # makes importing it fail
        for call in (row.__reduce__, lambda: row._filter_on_values(None),
                     lambda: setattr(row, "_parent", Meta())):
            try:
                call()
            except ImportError:
                pass
            else:
                raise SystemExit("import did not fail")
        for name in ("tessel.engine.row", "tessel.engine.result"):
            del sys.modules[name]

        from tessel.engine import result, row as row_module
        row._parent = result.ResultMetaData(["x"])
        assert row.__reduce__()[0] is row_module.rowproxy_reconstructor

        # Once loaded the modules are kept; attributes are looked up anew.
        sys.modules["tessel.engine.row"] = None
        marker = object()
        row_module.rowproxy_reconstructor = marker
        assert row.__reduce__()[0] is marker
        del result.ResultMetaData
        try:
            row._parent = row._parent
        except AttributeError:
            print("ok")
        """
    )
    done = subprocess.run([sys.executable, "-P", "-c", script], capture_output=True, text=True, timeout=60)
    assert done.stdout.strip() == "ok", done.stderr


def test_host_module_attributes_are_looked_up_each_time():
    from tessel.engine import row as row_module
    from tessel.engine.result import ResultMetaData

    parent = ResultMetaData(("a", "b", "c"))
    row = row_module.Row(parent, None, parent._keymap, 1, (1, "two", 3.0))
    # Not monkeypatch: leak runs call the test again with the same fixture, whose undo list grows.
    original = row_module.Row
    row_module.Row = lambda *args: ("made", args[3])
    try:
        assert row._filter_on_values(None) == ("made", 1)
    finally:
        row_module.Row = original
