"""Host layer that the native modules plug into."""
