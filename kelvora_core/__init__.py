"""Kelvora core: the application, authentication, database sessions and the host package around them."""
