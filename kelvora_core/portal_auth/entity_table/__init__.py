"""Tables of the user accounts' database."""
