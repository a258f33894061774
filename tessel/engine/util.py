"""Host layer: utilities.  ``tuplegetter`` lives here by name, so pickles refer to it here."""

from tessel.engine import rowkit

tuplegetter = rowkit.tuplegetter

__all__ = ["tuplegetter"]
