import os
import warnings

from hypothesis import HealthCheck, settings

# Import failures of the native modules must fail the run, not skip tests.
with warnings.catch_warnings():
    warnings.simplefilter("ignore", RuntimeWarning)
    import tessel.convkit  # noqa: F401
    import tessel.mapkit  # noqa: F401
    import tessel.rowkit  # noqa: F401

pytest_plugins = ["leakcheck"]

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
