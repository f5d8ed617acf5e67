"""The example service: ``make run`` (or ``python -m examples.service``) from the repository root."""
