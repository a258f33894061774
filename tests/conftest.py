import os

import pytest
from hypothesis import HealthCheck, settings

# Import failures of the native modules must fail the run, not skip tests.
# The host's one import place loads all three, silencing only the GIL note.
import tessel
import tessel.engine  # noqa: F401

pytest_plugins = ["leakcheck"]


def pytest_configure(config):
    # The parallel mode's plugin reads it; registered here too for runs without the plugin.
    config.addinivalue_line("markers", "thread_unsafe(reason): run on one thread only in the parallel mode")
    config.addinivalue_line(
        "markers", "native_only(reason): what only the native modules can do; skipped against the pure-Python twin"
    )


def pytest_collection_modifyitems(config, items):
    # The suite runs against either implementation; a few tests check what
    # only compiled modules have (the collector's tracking, a shared object's
    # symbols, ...).
    if tessel.implementation == "native":
        return
    for item in items:
        marker = item.get_closest_marker("native_only")
        if marker is not None:
            item.add_marker(pytest.mark.skip(reason=f"native modules only: {marker.args[0]}"))


settings.register_profile("default", deadline=None)
# Leak and sanitizer runs repeat every test; keep generated cases fewer and fixed.
settings.register_profile(
    "repeat",
    deadline=None,
    max_examples=25,
    derandomize=True,
    database=None,
    suppress_health_check=[HealthCheck.too_slow],
)
settings.load_profile(os.environ.get("TESSEL_HYPOTHESIS_PROFILE", "default"))


# The type and packaging checks take seconds per run: only where asked for
# (the test command asks on its main interpreter), and never in repeated runs.
@pytest.fixture
def typecheck(request):
    if os.environ.get("TESSEL_TYPECHECK") != "1":
        pytest.skip("type and packaging checks run with TESSEL_TYPECHECK=1")
    if request.config.getoption("--leaks", default=False):
        pytest.skip("type and packaging checks don't repeat")
