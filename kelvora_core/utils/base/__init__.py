"""Building blocks with no framework dependencies."""
