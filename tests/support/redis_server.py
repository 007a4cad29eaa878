"""Pytest fixtures for a throwaway redis-server on loopback.

``redis_server``: one server for the whole session, on a free port of
127.0.0.1, in its own temporary directory, without persistence; stopped and
removed at the end of the session, also when tests fail. Its ``stop()``,
``start()`` and ``restart()`` let a test take it away and bring it back on
the same port (empty).

``redis_url``: per test, the server running and flushed; the URL to use.
"""

import pytest
import redis

from devkit.redis_servers import ThrowawayRedisServer


@pytest.fixture(scope="session")
def redis_server():
    server = ThrowawayRedisServer()
    with server:
        yield server


@pytest.fixture
def redis_url(redis_server):
    # A test that stopped the server and failed before restarting it must
    # not take the following tests down with it.
    redis_server.start()
    client = redis.Redis.from_url(redis_server.url)
    try:
        client.flushall()
    finally:
        client.close()
    return redis_server.url
