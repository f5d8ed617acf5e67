"""Projects with notes: a small resource of the example service, in a database of its own.

Router discovery finds ``routes.router`` (an ``AuthRouter``); the start-up check finds
``registry.notes_registry`` and creates its tables in the "Notes" database.
"""
