"""Clients for the services that some metrics call."""
