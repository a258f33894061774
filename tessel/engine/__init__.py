"""Host layer that the native modules plug into.

The host imports the native modules here and only here.  On a free-threaded
interpreter, importing them switches the GIL on and the interpreter says so
with a RuntimeWarning; that note is expected, so it alone is silenced.  Any
other warning raised while they load still reaches the user.
"""

import warnings

with warnings.catch_warnings():
    warnings.filterwarnings(
        "ignore",
        message=r"The global interpreter lock \(GIL\) has been enabled to load module 'tessel\.(rowkit|convkit|mapkit|engine\.readers)'",
        category=RuntimeWarning,
    )
    from tessel import convkit, mapkit, rowkit
    from tessel.engine import readers

__all__ = ["convkit", "mapkit", "readers", "rowkit"]
