import warnings

# Import failures of the native modules must fail the run, not skip tests.
with warnings.catch_warnings():
    warnings.simplefilter("ignore", RuntimeWarning)
    import tessel.mapkit  # noqa: F401
    import tessel.rowkit  # noqa: F401
