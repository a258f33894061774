import os
import subprocess
import sys
import sysconfig

import pytest

MODULES = ["tessel.mapkit", "tessel.convkit", "tessel.rowkit"]


def test_interpreter_is_free_threaded():
    assert sysconfig.get_config_var("Py_GIL_DISABLED") == 1


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
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    subprocess.run([sys.executable, "-P", "-c", code], check=True, env=env)


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
