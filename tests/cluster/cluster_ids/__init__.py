"""A route that hands out fresh ids, included by the cluster test's hosts through router discovery."""
