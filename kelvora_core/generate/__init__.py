"""Code generation from database metadata."""
