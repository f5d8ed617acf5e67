"""Exception types, handlers and database-error translation."""
