import os
import subprocess
import sys
import sysconfig

import pytest

MODULES = ["tessel.mapkit", "tessel.convkit", "tessel.rowkit"]

# Only a free-threaded build starts without the GIL and switches it on at import.
free_threaded = pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"), reason="needs the free-threaded build")


def env_without_gil_setting(**extra):
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    env.update(extra)
    return env


@free_threaded
@pytest.mark.parametrize("name", MODULES)
def test_import_switches_the_gil_on(name):
    code = f"""
import sys, warnings
assert not sys._is_gil_enabled()
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    import {name}
assert sys._is_gil_enabled()
assert any(issubclass(w.category, RuntimeWarning) and "{name}" in str(w.message) for w in caught), caught
"""
    subprocess.run([sys.executable, "-P", "-c", code], check=True, env=env_without_gil_setting())


def test_import_is_silent_when_the_gil_is_already_on():
    # A GIL build, or a free-threaded one started with PYTHON_GIL=1: nothing to switch, so nothing to say.
    code = "import " + ", ".join(MODULES)
    subprocess.run([sys.executable, "-P", "-W", "error", "-c", code], check=True, env=env_without_gil_setting(PYTHON_GIL="1"))


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
