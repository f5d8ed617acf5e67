"""Configuration sections that other parts of the framework construct themselves."""
