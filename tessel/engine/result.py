"""Host layer: result."""
