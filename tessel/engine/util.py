"""Host layer: util."""
