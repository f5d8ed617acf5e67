"""Tools: schema synchronisation, class scanning, tenant context."""
