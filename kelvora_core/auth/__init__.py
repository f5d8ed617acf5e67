"""Authentication routing and data-permission rules."""
