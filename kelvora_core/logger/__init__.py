"""The logging facade."""
