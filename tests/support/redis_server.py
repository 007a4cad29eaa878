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
