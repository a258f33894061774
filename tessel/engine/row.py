"""Host layer: row."""
