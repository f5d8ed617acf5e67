"""Web routes of the enumeration queries."""
