import re
from collections import OrderedDict

from fakes import FakeFlow, FakeLogger, FakeWrapper, raising, records  # noqa: F401 (re-exported)

ADDRESS = re.compile(r" at 0x[0-9a-f]+")


def entries(result):
    return [(shown(e["node"].get("id")), e["port"], shown(e["node_id"])) for e in result]


def shown(value):
    try:
        return ADDRESS.sub("", repr(value))
    except Exception as error:  # noqa: BLE001 - a hostile repr is a value here
        return f"<unrepresentable {type(error).__name__}>"


def manager(mod, nodes, start, wrapper=None, out_key="out_key", cls=None):
    cls = cls or mod.FlowsweepManager
    return cls(wrapper or FakeWrapper(), FakeFlow(nodes), nodes[start], out_key)


def walk(mod, nodes, start, visited=None, cls=None):
    mgr = manager(mod, nodes, start, cls=cls)
    visited = set() if visited is None else visited
    return entries(mgr._discover_downstream_nodes(nodes[start], visited)), sorted(
        map(shown, visited)
    )


def walk_odd_shapes(mod):
    nodes = records(A=(("B", "C"), (), ("A",)), B=["ab"], C=[["C"]], a=None, b=[])
    nodes["n1"] = {"wires": [["n2"]]}
    nodes["n2"] = {"wires": [["n1"]]}
    out = [walk(mod, nodes, "A"), walk(mod, nodes, "B"), walk(mod, nodes, "n1")]
    out.append(walk(mod, nodes, "A", visited={"A"}))
    return out


def collect_and_clear(mod):
    nodes = records(cam1=[["det2", "det3"], ["det2"]], det2=[["cam1"]], det3=None)
    keys = ["redis_cam1_0", "redis_det2_0", "redis_det2_1", "redis_det3_9", "out_key"]
    wrapper = FakeWrapper(keys)
    mgr = manager(mod, nodes, "cam1", wrapper)
    results = [sorted(mgr._collect_stream_redis_keys())]
    results += [mgr.clear_stream_keys(), mgr.clear_stream_keys(0), mgr._keys_cleared]
    mgr.reset_cleanup_flag()
    results += [mgr._keys_cleared, mgr.clear_stream_keys(max_ports=1000)]
    return results, sorted(wrapper.patterns), wrapper.delete_reprs()


def collect_without_id(mod):
    nodes = records(det2=None)
    out = []
    for record in ({"wires": [["det2"]]}, {"id": "", "wires": [["det2"]]}, {"id": 0}):
        wrapper = FakeWrapper(["redis_det2_0"])
        mgr = mod.FlowsweepManager(wrapper, FakeFlow(nodes), record, "k")
        out.append((sorted(mgr._collect_stream_redis_keys()), wrapper.patterns))
    return out


def one_shot(mod):
    nodes = records(a=[["b"]], b=None)
    wrapper = FakeWrapper(["redis_a_1", "redis_b_2", "redis_bb_2"])
    first = mod.clear_stream_redis_keys(wrapper, FakeFlow(nodes), nodes["a"], "k")
    second = mod.clear_stream_redis_keys(
        redis_out_key="k",
        node_config=nodes["a"],
        nodered_flow=FakeFlow(nodes),
        redis_wrapper=wrapper,
        max_ports=3,
    )
    return first, second, wrapper.delete_reprs()


def overrides(mod):
    seen = []

    class Sub(mod.FlowsweepManager):
        def _discover_downstream_nodes(self, node, visited):
            seen.append(node.get("id"))
            return super()._discover_downstream_nodes(node, visited)

    nodes = records(A=[["B", "C"]], B=[["C"]], C=[["A"]])
    out = [walk(mod, nodes, "A", cls=Sub), list(seen)]
    mgr = manager(mod, nodes, "A")
    base = mgr._discover_downstream_nodes

    def instance_override(node, visited):
        seen.append(("bound", node.get("id")))
        return base(node, visited)

    mgr._discover_downstream_nodes = instance_override
    out.append((entries(base(nodes["A"], set())), list(seen)))
    return out


def scan_returns_iterables(mod):
    shapes = iter([("redis_a_1",), {"redis_a_2": 1}, (k for k in ["redis_b_1"]), iter([])])
    nodes = records(a=[["b", "c"]], b=None, c=None)
    mgr = manager(mod, nodes, "a", FakeWrapper(scan=lambda p: next(shapes)))
    return sorted(mgr._collect_stream_redis_keys())


def _failing_manager(mod, **wrapper_kw):
    nodes = records(a=[["b"]], b=None)
    wrapper = FakeWrapper(["redis_a_1"], **wrapper_kw)
    return manager(mod, nodes, "a", wrapper), wrapper


def _raise(error):
    raise error


def scan_raises(mod):
    mgr, wrapper = _failing_manager(mod, scan=raising(RuntimeError, "down"))
    return mgr.clear_stream_keys(), mgr._keys_cleared, wrapper.delete_reprs()


def scan_returns_none(mod):
    mgr, wrapper = _failing_manager(mod, scan=lambda p: None)
    return mgr.clear_stream_keys(), wrapper.delete_reprs()


def scan_generator_raises_midway(mod):
    def scan(pattern):
        yield "redis_x_1"
        yield "redis_x_2"
        raise ConnectionError("lost mid-scan")

    mgr, wrapper = _failing_manager(mod, scan=scan)
    return mgr.clear_stream_keys(), mgr._keys_cleared, wrapper.delete_reprs()


def scan_returns_bytes(mod):
    mgr, wrapper = _failing_manager(mod, scan=lambda p: [b"redis_a_1"])
    return mgr.clear_stream_keys(), wrapper.delete_reprs()


def scan_returns_unhashable(mod):
    mgr, wrapper = _failing_manager(mod, scan=lambda p: [["redis_a_1"]])
    return mgr.clear_stream_keys(), wrapper.delete_reprs()


def delete_raises_then_retry(mod):
    outcomes = iter([RuntimeError("down"), None])

    def delete(keys):
        error = next(outcomes)
        if error:
            raise error
        return 0

    mgr, wrapper = _failing_manager(mod, delete=delete)
    first = (mgr.clear_stream_keys(), mgr._keys_cleared)
    return first, (mgr.clear_stream_keys(), mgr._keys_cleared), len(wrapper.deletes)


class BadStr:
    def __str__(self):
        raise ValueError("no text")

    __repr__ = __format__ = lambda self, *a: _raise(ValueError("no text"))


def deleted_count_without_text(mod):
    mgr, _ = _failing_manager(mod, delete=lambda keys: BadStr())
    return mgr.clear_stream_keys(), mgr._keys_cleared


def scan_interrupted(mod):
    mgr, wrapper = _failing_manager(mod, scan=raising(KeyboardInterrupt))
    try:
        mgr.clear_stream_keys()
    except KeyboardInterrupt:
        return "interrupt passed through", mgr._keys_cleared, wrapper.delete_reprs()
    return "swallowed"


def logger_missing(mod):
    mgr, wrapper = _failing_manager(mod)
    del mod.logger  # the runner puts it back
    return mgr.clear_stream_keys()


def logger_fails_inside_collection(mod):
    mod.logger.fail_on = ("info", "[flowsweep] downstream")
    mgr, wrapper = _failing_manager(mod)
    return mgr.clear_stream_keys(), wrapper.patterns, wrapper.delete_reprs()


def logger_fails_on_error_line(mod):
    mod.logger.fail_on = ("error", "")
    mgr, _ = _failing_manager(mod, scan=raising(RuntimeError, "down"))
    try:
        mgr.clear_stream_keys()
    except OSError as error:
        context = error.__context__
        return "raised", str(error), type(context).__name__, str(context), mgr._keys_cleared
    return "no error"


def logger_fails_on_completion_line(mod):
    mod.logger.fail_on = ("info", "Stream cleanup complete")
    mgr, wrapper = _failing_manager(mod)
    return mgr.clear_stream_keys(), mgr._keys_cleared, len(wrapper.deletes)


def logger_fails_on_cached_path(mod):
    mod.logger.fail_on = ("debug", "")
    mgr, _ = _failing_manager(mod)
    mgr._keys_cleared = 1
    return mgr.clear_stream_keys()


class BadBool:
    def __bool__(self):
        raise ValueError("no truth")


def flag_missing(mod):
    mgr = mod.FlowsweepManager.__new__(mod.FlowsweepManager)
    return mgr.clear_stream_keys()


def flag_without_truth(mod):
    mgr, _ = _failing_manager(mod)
    mgr._keys_cleared = BadBool()
    return mgr.clear_stream_keys()


def flag_cannot_be_set(mod):
    class Frozen(mod.FlowsweepManager):
        def __setattr__(self, name, value):
            if name == "_keys_cleared" and value is True:
                raise AttributeError("read-only flag")
            super().__setattr__(name, value)

    nodes = records(a=None)
    mgr = Frozen(FakeWrapper(), FakeFlow(nodes), nodes["a"], "k")
    return mgr.clear_stream_keys(), mgr._keys_cleared


class Ident:
    def __init__(self, text, on_hash=None, on_eq=None, on_str=None, on_repr=None):
        self.text = text
        self.on_hash, self.on_eq, self.on_str, self.on_repr = on_hash, on_eq, on_str, on_repr

    def __hash__(self):
        if self.on_hash:
            self.on_hash()
        return hash(self.text)

    def __eq__(self, other):
        if self.on_eq:
            self.on_eq()
        return self.text == (other.text if isinstance(other, Ident) else other)

    def __str__(self):
        if self.on_str:
            self.on_str()
        return self.text

    def __repr__(self):
        if self.on_repr:
            self.on_repr()
        return f"Ident({self.text!r})"


def _fail(kind, text="hostile"):
    return raising(kind, text)


def current_id_repr_raises(mod):
    ident = Ident("a", on_repr=_fail(ValueError, "bad repr"))
    nodes = {"a": {"id": ident, "wires": []}}
    return manager(mod, nodes, "a").clear_stream_keys()


def node_id_str_raises(mod):
    ident = Ident("b", on_str=_fail(ValueError, "bad str"))
    nodes = {"a": {"id": "a", "wires": [[ident]]}, ident: {"id": ident}}
    wrapper = FakeWrapper()
    mgr = manager(mod, nodes, "a", wrapper)
    return mgr.clear_stream_keys(), wrapper.delete_reprs()


def downstream_id_repr_raises(mod):
    ident = Ident("b", on_repr=_fail(LookupError, "bad repr"))
    nodes = {"a": {"id": "a", "wires": [[ident]]}, ident: {"id": "b"}}
    wrapper = FakeWrapper()
    mgr = manager(mod, nodes, "a", wrapper)
    return mgr.clear_stream_keys(), wrapper.patterns


def unhashable_ids(mod):
    out = []
    nodes = {"a": {"id": ["a"], "wires": [["b"]]}, "b": {"id": "b"}}
    for make in (
        lambda: walk(mod, nodes, "a"),
        lambda: manager(mod, nodes, "a").clear_stream_keys(),
    ):
        try:
            out.append(make())
        except TypeError as error:
            out.append(("TypeError", str(error)))
    nodes = {"a": {"id": "a", "wires": [[["b"]]]}}
    try:
        walk(mod, nodes, "a")
    except TypeError as error:
        out.append(("TypeError", str(error)))
    return out


def hash_raises_in_visited(mod):
    visited = set()
    nodes = {
        "a": {"id": "a", "wires": [["b"]]},
        "b": {"id": Ident("b", on_hash=_fail(ArithmeticError))},
    }
    mgr = manager(mod, nodes, "a")
    try:
        mgr._discover_downstream_nodes(nodes["a"], visited)
    except ArithmeticError:
        return "raised", sorted(map(shown, visited))


def target_hash_raises(mod):
    nodes = {
        "a": {"id": "a", "wires": [["b", Ident("c", on_hash=_fail(ArithmeticError))]]},
        "b": {},
    }
    return walk(mod, nodes, "a")


def target_eq_raises(mod):
    # Equal hashes make the table compare the target with a stored key.
    nodes = {"a": {"id": "a", "wires": [[Ident("b", on_eq=_fail(ArithmeticError))]]}, "b": {}}
    return walk(mod, nodes, "a")


class Table:
    def __init__(self, data, on_contains=None, on_getitem=None):
        self.data = data
        self.on_contains = on_contains
        self.on_getitem = on_getitem

    def __contains__(self, key):
        if self.on_contains:
            self.on_contains(self, key)
        return key in self.data

    def __getitem__(self, key):
        if self.on_getitem:
            self.on_getitem(self, key)
        return self.data[key]


def nodes_table_faults(mod):
    out = []
    base = records(a=[["b"]], b=[["c"]], c=None)

    def run(nodes):
        mgr = mod.FlowsweepManager(FakeWrapper(), FakeFlow(nodes), base["a"], "k")
        try:
            return entries(mgr._discover_downstream_nodes(base["a"], set()))
        except Exception as error:
            return type(error).__name__, str(error)

    out.append(run(Table(base, on_contains=lambda t, k: _raise(RuntimeError("contains")))))
    out.append(run(Table(base, on_getitem=lambda t, k: _raise(KeyError(k)))))
    out.append(run(Table(base, on_getitem=lambda t, k: k == "c" and _raise(IndexError("deep")))))
    for flow in (None, object(), FakeFlow(None), FakeFlow([])):
        mgr = mod.FlowsweepManager(FakeWrapper(), flow, base["a"], "k")
        try:
            out.append(mgr._discover_downstream_nodes(base["a"], set()))
        except Exception as error:
            out.append((type(error).__name__, str(error)))
    return out


def bad_records(mod):
    out = []
    cases = [
        records(a=[["b"]]) | {"b": OrderedDict(id="b")},
        records(a=[["b"]]) | {"b": None},
        {"a": {"id": "a", "wires": None}},
        {"a": {"id": "a", "wires": [1]}},
        {"a": {"id": "a", "wires": 7}},
    ]
    for nodes in cases:
        try:
            out.append(walk(mod, nodes, "a"))
        except TypeError as error:
            out.append(("TypeError", str(error)))
    for visited in (frozenset(), None, [], type("S", (set,), {})()):
        mgr = manager(mod, records(a=None), "a")
        try:
            mgr._discover_downstream_nodes({"id": "a"}, visited)
        except TypeError as error:
            out.append(("TypeError", str(error)))
    return out


def table_mutates_while_read(mod):
    data = records(a=[["b", "c", "d"]], b=[["c"]], c=[["e"]], d=None, e=None)
    counter = [0]

    def on_contains(table, key):
        counter[0] += 1
        table.data[f"new{counter[0]}"] = {"id": f"new{counter[0]}"}
        table.data.pop("d" if counter[0] == 2 else "zz", None)

    def on_getitem(table, key):
        record = table.data[key]
        if key == "c":
            record["wires"] = [["new1", "a"], ["e"]]

    table = Table(data, on_contains, on_getitem)
    mgr = mod.FlowsweepManager(FakeWrapper(), FakeFlow(table), data["a"], "k")
    visited = set()
    result = entries(mgr._discover_downstream_nodes(data["a"], visited))
    return result, sorted(visited), sorted(data)


def flow_changes_during_walk(mod):
    # A flow without hooks, so that reads of self.nodered_flow._nodes may be
    # remembered; each wire target, when looked up, changes what those reads
    # give in another way, and the next target must see the change. Table i
    # names its records with the suffix i.
    class PlainFlow:
        def __init__(self, nodes):
            self._nodes = nodes

    tables = [{k: {"id": f"{k}{i}"} for k in "abcdef"} for i in range(5)]
    mgr = mod.FlowsweepManager(FakeWrapper(), PlainFlow(tables[0]), {"id": "a"}, "k")

    def rebind_flow():
        mgr.nodered_flow = PlainFlow(tables[1])

    def rebind_table():
        mgr.nodered_flow._nodes = tables[2]

    def replace_flow_dict():
        mgr.nodered_flow.__dict__ = {"_nodes": tables[3]}

    def shadow_in_class():
        PlainFlow._nodes = property(lambda flow: tables[4])

    port = [Ident("b", on_hash=rebind_flow), Ident("c", on_hash=rebind_table)]
    port += [Ident("d", on_hash=replace_flow_dict), Ident("e", on_hash=shadow_in_class), "f"]
    found = mgr._discover_downstream_nodes({"id": "a", "wires": [["f", *port]]}, set())
    return entries(found)


def records_mutate_each_other(mod):
    nodes = records(a=[["b", "c"], ["d"]], b=[["c", "d"]], c=[["a"]], d=[["b"]])

    def act():
        nodes["a"]["wires"][1].append("c")
        nodes["b"]["wires"].clear()
        nodes.pop("d", None)
        nodes["c"]["wires"] = (("b",),)

    nodes["b"]["wires"][0].insert(0, Ident("c", on_eq=act))
    return walk(mod, nodes, "a")


def record_rebinds_its_wires(mod):
    nodes = records(a=None, b=None, c=None)

    def port():
        yield "b"
        nodes["a"]["wires"] = [["c"]]
        nodes["a"].clear()
        yield "c"

    nodes["a"]["wires"] = [port(), ["b", "c"]]
    return walk(mod, nodes, "a")


def visited_cleared_once(mod):
    visited = set()
    cleared = [False]

    def clear_once():
        if not cleared[0]:
            cleared[0] = True
            visited.clear()

    nodes = records(a=[["b"]], b=[["c"]], c=[["a", "b"]])
    nodes["c"]["id"] = Ident("c", on_hash=clear_once)
    mgr = manager(mod, nodes, "a")
    result = entries(mgr._discover_downstream_nodes(nodes["a"], visited))
    return result, sorted(map(shown, visited))


def visited_cleared_always(mod):
    visited = set()
    nodes = records(a=[["b"]], b=[["a"]])
    nodes["b"]["id"] = Ident("b", on_hash=visited.clear)
    mgr = manager(mod, nodes, "a")
    return mgr._discover_downstream_nodes(nodes["a"], visited)


def endless_fresh_nodes(mod):
    class Endless:
        def __contains__(self, key):
            return True

        def __getitem__(self, key):
            return {"id": key, "wires": [[key + 1]]}

    mgr = mod.FlowsweepManager(FakeWrapper(), FakeFlow(Endless()), {"id": 0, "wires": [[1]]}, "k")
    return mgr._discover_downstream_nodes({"id": 0, "wires": [[1]]}, set())


def endless_override(mod):
    class Sub(mod.FlowsweepManager):
        def _discover_downstream_nodes(self, node, visited):
            return super()._discover_downstream_nodes(node, set())

    nodes = records(a=[["a"]])
    mgr = Sub(FakeWrapper(), FakeFlow(nodes), nodes["a"], "k")
    return mgr._discover_downstream_nodes(nodes["a"], set())


def endless_override_in_cleanup(mod):
    class Sub(mod.FlowsweepManager):
        def _discover_downstream_nodes(self, node, visited):
            return self._discover_downstream_nodes(node, visited)

    nodes = records(a=[["a"]])
    wrapper = FakeWrapper()
    mgr = Sub(wrapper, FakeFlow(nodes), nodes["a"], "k")
    return mgr.clear_stream_keys(), mgr._keys_cleared, wrapper.delete_reprs()


def manager_class_rebound(mod):
    out = []
    saved = mod.FlowsweepManager
    try:
        mod.FlowsweepManager = lambda **kw: _raise(LookupError(sorted(kw)))
        try:
            mod.clear_stream_redis_keys(None, None, {}, "k")
        except LookupError as error:
            out.append(str(error))
        del mod.FlowsweepManager
        try:
            mod.clear_stream_redis_keys(None, None, {}, "k")
        except NameError as error:
            out.append(str(error))
    finally:
        mod.FlowsweepManager = saved
    return out


# Scenarios whose outcome must equal the model's exactly.
EXACT = (
    [walk_odd_shapes, collect_and_clear, collect_without_id, one_shot, overrides]
    + [scan_returns_iterables, scan_raises, scan_returns_none, scan_generator_raises_midway]
    + [scan_returns_bytes, scan_returns_unhashable, delete_raises_then_retry]
    + [deleted_count_without_text, scan_interrupted, logger_missing]
    + [logger_fails_inside_collection, logger_fails_on_error_line]
    + [logger_fails_on_completion_line, logger_fails_on_cached_path, flag_missing]
    + [flag_without_truth, flag_cannot_be_set, current_id_repr_raises, node_id_str_raises]
    + [downstream_id_repr_raises, unhashable_ids, hash_raises_in_visited, target_hash_raises]
    + [target_eq_raises, nodes_table_faults, bad_records, table_mutates_while_read]
    + [flow_changes_during_walk]
    + [records_mutate_each_other, record_rebinds_its_wires, visited_cleared_once]
    + [manager_class_rebound]
)

# Scenarios that must end in RecursionError (the model reaches the
# interpreter's limit; the compiled walk its own depth bound).
ENDLESS = [visited_cleared_always, endless_fresh_nodes, endless_override]

# Endless recursion inside the cleanup: caught, so False and an error line.
ENDLESS_CAUGHT = [endless_override_in_cleanup]

ALL = EXACT + ENDLESS + ENDLESS_CAUGHT


def run(mod, scenario):
    saved = mod.logger
    log = FakeLogger()
    mod.logger = log
    try:
        outcome = ("returned", scenario(mod))
    except BaseException as error:  # noqa: BLE001 - the outcome is what is compared
        outcome = ("raised", type(error).__name__, shown_error(error))
    finally:
        mod.logger = saved
    return outcome, log.lines


def run_restoring(mod, scenario, names):
    saved = {name: getattr(mod, name) for name in names}
    try:
        return ("returned", scenario(mod))
    except BaseException as error:  # noqa: BLE001
        return ("raised", type(error).__name__, ADDRESS.sub("", str(error)))
    finally:
        for name, value in saved.items():
            setattr(mod, name, value)


def shown_error(error):
    try:
        return ADDRESS.sub("", str(error))
    except Exception:  # noqa: BLE001
        return "<unprintable>"
