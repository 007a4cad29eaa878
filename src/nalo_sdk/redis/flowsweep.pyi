"""Redis stream cleanup utilities for clearing KV stores across Node-RED flows.

This module discovers and clears the Redis keys that belong to Node-RED
streams, including the keys of every node downstream of the current node
in the flow graph.
"""

from logging import Logger
from typing import Any, Dict, List, Set

from nalo_sdk.logging import get_logger as get_logger
from nalo_sdk.redis.utils import gen_redis_key_local as gen_redis_key_local

logger: Logger

class FlowsweepManager:
    """Manages Redis key cleanup for Node-RED streams.

    Discovers all downstream nodes in a Node-RED flow and clears their
    associated Redis keys.

    Args:
        redis_wrapper: RedisWrapper instance
        nodered_flow: NaloFlow instance holding the flow graph
        node_config: Current node configuration dictionary
        redis_out_key: Primary Redis output key of the current node
    """

    redis_wrapper: Any
    nodered_flow: Any
    node_config: Dict[str, Any]
    redis_out_key: str
    _keys_cleared: bool
    def __init__(
        self,
        redis_wrapper: Any,
        nodered_flow: Any,
        node_config: Dict[str, Any],
        redis_out_key: str,
    ) -> None:
        """Initialize the FlowsweepManager.

        Args:
            redis_wrapper: RedisWrapper instance
            nodered_flow: NaloFlow instance with a _nodes attribute
            node_config: Node configuration dictionary with 'id' and 'wires'
            redis_out_key: Primary Redis output key to clear
        """
    def _discover_downstream_nodes(
        self, node: Dict[str, Any], visited: Set[str]
    ) -> List[Dict[str, Any]]:
        """Recursively discover all downstream nodes from a given node.

        Args:
            node: Current node to explore
            visited: Set of already visited node IDs (to avoid cycles)

        Returns:
            List of dictionaries with keys:
                - 'node': node configuration dictionary
                - 'port': port index connecting to this node
                - 'node_id': node ID string
        """
    def _collect_stream_redis_keys(self) -> List[str]:
        """Collect all existing Redis keys related to this stream.

        Uses one Redis SCAN per node ID with the pattern ``redis_{node_id}_*``,
        so only keys that actually exist are returned, regardless of how
        many ports a node has.

        Returns:
            Deduplicated list of existing Redis keys to delete
        """
    def clear_stream_keys(self, max_ports: int = 10) -> bool:
        """Clear all Redis KV stores related to this stream.

        Args:
            max_ports: Maximum number of ports to check per node (default: 10)

        Returns:
            True if cleanup was successful, False otherwise
        """
    def reset_cleanup_flag(self) -> None:
        """Reset the cleanup flag to allow re-running cleanup."""

def clear_stream_redis_keys(
    redis_wrapper: Any,
    nodered_flow: Any,
    node_config: Dict[str, Any],
    redis_out_key: str,
    max_ports: int = 10,
) -> bool:
    """Convenience function to clear Redis keys for a Node-RED stream.

    This is a simplified interface for one-time cleanup operations.

    Args:
        redis_wrapper: RedisWrapper instance with a _redis_client attribute
        nodered_flow: NaloFlow instance with a _nodes attribute
        node_config: Node configuration dictionary with 'id' and 'wires'
        redis_out_key: Primary Redis output key to clear
        max_ports: Maximum number of ports to check per node (default: 10)

    Returns:
        True if cleanup was successful, False otherwise

    Example:
        >>> from nalo_sdk.redis import NaloRedis, clear_stream_redis_keys
        >>> from nalo_sdk.nodered import NaloFlow
        >>> redis_wrapper = NaloRedis()
        >>> nodered_flow = NaloFlow()
        >>> flow = nodered_flow.parse_flow()
        >>> clear_stream_redis_keys(
        ...     redis_wrapper=redis_wrapper,
        ...     nodered_flow=nodered_flow,
        ...     node_config=flow['cur_node'],
        ...     redis_out_key='redis_cam1_0',
        ... )
        True
    """
