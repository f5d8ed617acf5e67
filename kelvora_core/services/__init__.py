"""Services: authentication, database sessions, queries and data."""
