"""Pytest fixtures for a throwaway redis-server on loopback."""
