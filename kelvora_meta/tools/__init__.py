"""Names derived from database metadata."""
