"""Request schemas of the enumeration queries."""
