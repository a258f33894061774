"""tessel: native core of a database-access package (rows, value conversion, immutable mappings)."""
