"""Leak measurement for the debug interpreter: a callable is run in loops,
and the interpreter's total reference count and its number of live memory
blocks must not grow from one loop to the next."""

import gc
import os
import sys

DEBUG_BUILD = hasattr(sys, "gettotalrefcount")
# Calls per measured round; a leak of one reference per call shows as this
# many. Several rounds, because caches fill once and then stay.
LOOPS = int(os.environ.get("NALO_LEAK_LOOPS", "30"))
ROUNDS = 3


def deltas(fn, loops=LOOPS, rounds=ROUNDS, warmup=2):
    """Growth of (total references, live blocks) in each measured round."""
    refs = [0] * rounds
    blocks = [0] * rounds
    for _ in range(warmup):
        for _ in range(loops):
            fn()
    for r in range(rounds):
        gc.collect()
        refs_before = sys.gettotalrefcount()
        blocks_before = sys.getallocatedblocks()
        for _ in range(loops):
            fn()
        gc.collect()
        refs_after = sys.gettotalrefcount()
        blocks_after = sys.getallocatedblocks()
        refs[r] = refs_after - refs_before
        blocks[r] = blocks_after - blocks_before
    return refs, blocks


def assert_no_leak(fn, loops=LOOPS, check_refs=True, check_blocks=True):
    """Fails when every measured round grew, as CPython's own leak hunter
    judges: a real leak grows every round; caches and free lists do not."""
    refs, blocks = deltas(fn, loops)
    leaked = []
    if check_refs and all(d > 0 for d in refs):
        leaked.append(f"references grew by {refs} over {loops} calls per round")
    if check_blocks and all(d > 0 for d in blocks):
        leaked.append(f"live blocks grew by {blocks} over {loops} calls per round")
    assert not leaked, "; ".join(leaked)
