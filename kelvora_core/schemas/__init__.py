"""Request and response schemas shared by the core routes."""
