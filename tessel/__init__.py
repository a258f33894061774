"""tessel: native core of a database-access package (rows, value conversion, immutable mappings)."""

# The datetime types that convkit builds keep their attributes per interpreter
# (3.13 on), made when that interpreter imports datetime.  A subinterpreter
# shares convkit without running its initialisation (which imports datetime),
# so the package does it for every interpreter that loads it.  Without datetime
# convkit itself refuses to load, and says so.
try:
    import datetime as _datetime  # noqa: F401
except ImportError:
    pass
