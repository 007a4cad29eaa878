import os

import pytest
import redis.cluster

from devkit.peers import ThrowawayMosquitto, ThrowawayNodeRed
from devkit.processes import ProgramMissing
from devkit.redis_servers import ThrowawayRedisCluster

REQUIRED = os.environ.get("NALO_PEERS_REQUIRED") == "1"
_start_times = {}


def _session_peer(name, peer):
    try:
        peer.start()
    except ProgramMissing as missing:
        peer.close()
        if REQUIRED:
            pytest.fail(f"{missing} (NALO_PEERS_REQUIRED=1: every peer must be installed)")
        pytest.skip(str(missing))
    except BaseException:
        peer.close()
        raise
    _start_times[name] = peer.started_in
    return peer


@pytest.fixture(scope="session")
def mosquitto():
    peer = _session_peer("mosquitto", ThrowawayMosquitto())
    try:
        yield peer
    finally:
        peer.close()


@pytest.fixture(scope="session")
def node_red():
    peer = _session_peer("Node-RED", ThrowawayNodeRed())
    try:
        yield peer
    finally:
        peer.close()


@pytest.fixture(scope="session")
def redis_cluster():
    peer = _session_peer("Redis Cluster", ThrowawayRedisCluster())
    try:
        yield peer
    finally:
        peer.close()


@pytest.fixture
def cluster_url(redis_cluster):
    client = redis.cluster.RedisCluster.from_url(redis_cluster.seed_url)
    try:
        client.flushall()
    finally:
        client.close()
    return redis_cluster.url


def pytest_terminal_summary(terminalreporter):
    if _start_times:
        figures = ", ".join(f"{name} {seconds:.2f} s" for name, seconds in _start_times.items())
        terminalreporter.write_line(f"peers started in: {figures}")
