"""Host layer: utilities.  ``tuplegetter`` lives here by name, so pickles refer to it here."""

import warnings

with warnings.catch_warnings():
    warnings.simplefilter("ignore", RuntimeWarning)  # the GIL note on import
    from tessel.rowkit import tuplegetter

__all__ = ["tuplegetter"]
