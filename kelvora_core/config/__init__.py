"""Process-wide configuration."""
