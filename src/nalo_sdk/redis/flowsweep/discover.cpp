// Downstream node discovery: a depth-first walk along the output wires.
//
// The walk's contract is that of a method calling itself once per wire
// target: self._discover_downstream_nodes(next_node, visited), looked up on
// self every time. While that lookup finds this very function, the walk goes
// on in an explicit stack instead of nesting calls: no C recursion, so a
// chain far longer than the interpreter's recursion limit is walked (up to
// max_depth below), and every entry goes straight into the one
// result list (the nested calls' lists would only be copied into it).
// Where a subclass or an instance overrides the method, the override is
// called as the contract says (an override that calls back into this
// function passes the recursion guard of the call entry at every level).
// The walk checks for pending signals as it goes, so Ctrl-C stops even a
// walk that would only end with the memory.
#include "core/cursor.hpp"
#include "core/signals.hpp"
#include "flowsweep.hpp"

#include <vector>

namespace flowsweep {
namespace {

// The walk needs no C stack, but an endless one must still end: a node
// table that makes up a new node below every node it hands out, or hooks
// that keep emptying `visited`, would otherwise grow the walk until memory
// runs out. Past this depth it fails as the nested method calls would,
// with RecursionError. Real flows stay far below it; a walk that deep
// holds some 60 MB of entries and frames when it gives up.
constexpr size_t max_depth = 250000;

// Frames the walk starts with room for: real flows are a few nodes deep, and
// growing the stack one doubling at a time would cost a walk of a few dozen
// entries several reallocations.
constexpr size_t initial_depth = 32;

// One expanded node whose ports are being walked.
struct Frame {
    nalo::Cursor ports;   // over the node's `wires`
    nalo::Cursor targets; // over the current port; closed between ports
    Py_ssize_t port_idx = -1;
};

class Walk {
  public:
    Walk(State &st, PyObject *self, PyObject *visited, PyObject *out)
        : st_(st), self_(self), visited_(visited), out_(out) {
        stack_.reserve(initial_depth);
    }

    // Walks from `node` (an exact dict), appending entries to the result.
    int run(PyObject *node) {
        if (expand(node) < 0) {
            return -1;
        }
        nalo::SignalPoll signals;
        while (!stack_.empty()) {
            if (step() < 0 || signals.tick() < 0) {
                return -1;
            }
        }
        return 0;
    }

  private:
    // The start of one call: reads the record's id, marks it visited and
    // starts walking its ports. An id seen before expands nothing.
    int expand(PyObject *node) {
        PyObject *found = PyDict_GetItemWithError(node, st_[Name::id]);
        if (found == nullptr && PyErr_Occurred()) {
            return -1;
        }
        Ref node_id = Ref::borrow(found ? found : Py_None);
        const int seen = PySet_Contains(visited_, node_id.get());
        if (seen != 0) {
            return seen;
        }
        if (PySet_Add(visited_, node_id.get()) < 0) {
            return -1;
        }
        found = PyDict_GetItemWithError(node, st_[Name::wires]);
        if (found == nullptr) {
            return PyErr_Occurred() ? -1 : 0; // no `wires`: no ports
        }
        Ref wires = Ref::borrow(found);
        Frame frame;
        if (frame.ports.open(wires.get()) < 0) {
            return -1;
        }
        if (stack_.size() >= max_depth) {
            PyErr_SetString(PyExc_RecursionError,
                            "maximum recursion depth exceeded while discovering downstream nodes");
            return -1;
        }
        stack_.push_back(std::move(frame));
        return 0;
    }

    // Advances the innermost node by one port or one wire target.
    int step() {
        Frame &frame = stack_.back();
        if (!frame.targets.is_open()) {
            Ref port = frame.ports.next();
            if (!port) {
                if (PyErr_Occurred()) {
                    return -1;
                }
                stack_.pop_back();
                return 0;
            }
            ++frame.port_idx;
            return frame.targets.open(port.get());
        }
        Ref target = frame.targets.next();
        if (!target) {
            return PyErr_Occurred() ? -1 : 0;
        }
        return visit_target(frame.port_idx, target.get());
    }

    // self.nodered_flow._nodes, fetched afresh for every use: a read is
    // taken from the remembered one only while it would give the same.
    Ref flow_nodes() {
        Ref flow = nalo::get_attribute(st_, self_, st_[Name::nodered_flow], st_.manager_flow);
        return flow ? nalo::get_attribute(st_, flow.get(), st_[Name::_nodes], st_.flow_nodes)
                    : nullptr;
    }

    // One wire target: its entry, then the walk below it. May push
    // a frame, so no Frame reference is held across it.
    int visit_target(Py_ssize_t port_idx, PyObject *target) {
        Ref nodes = flow_nodes();
        if (!nodes) {
            return -1;
        }
        const int known = PySequence_Contains(nodes.get(), target);
        if (known <= 0) {
            return known;
        }
        nodes = flow_nodes();
        if (!nodes) {
            return -1;
        }
        Ref next_node = Ref::steal(PyObject_GetItem(nodes.get(), target));
        if (!next_node || append_entry(next_node.get(), port_idx, target) < 0) {
            return -1;
        }
        return descend(next_node.get());
    }

    int append_entry(PyObject *next_node, Py_ssize_t port_idx, PyObject *target) {
        Ref port = Ref::steal(PyLong_FromSsize_t(port_idx));
        Ref entry = Ref::steal(PyDict_New());
        if (!port || !entry || PyDict_SetItem(entry.get(), st_[Name::node], next_node) < 0 ||
            PyDict_SetItem(entry.get(), st_[Name::port], port.get()) < 0 ||
            PyDict_SetItem(entry.get(), st_[Name::node_id], target) < 0) {
            return -1;
        }
        return PyList_Append(out_, entry.get());
    }

    // self._discover_downstream_nodes(next_node, visited), then extend.
    int descend(PyObject *next_node) {
        PyObject *found = nullptr;
        const int unbound =
            nalo::compat::get_method(self_, st_[Name::_discover_downstream_nodes], &found);
        if (unbound < 0) {
            return -1;
        }
        Ref method = Ref::steal(found);
        if (unbound && nalo::is_function_with_impl(method.get(), discover_downstream_nodes)) {
            if (!PyDict_CheckExact(next_node)) {
                return nalo::incorrect_type("node", "dict", next_node);
            }
            return expand(next_node) < 0 ? -1 : 0;
        }
        return call_override(method.get(), unbound != 0, next_node);
    }

    int call_override(PyObject *method, bool unbound, PyObject *next_node) {
        PyObject *call[] = {self_, next_node, visited_};
        Ref found = unbound ? Ref::steal(PyObject_Vectorcall(method, call, 3, nullptr))
                            : Ref::steal(PyObject_Vectorcall(method, call + 1, 2, nullptr));
        if (!found) {
            return -1;
        }
        // downstream.extend(found)
        Ref it = Ref::steal(PyObject_GetIter(found.get()));
        if (!it) {
            return -1;
        }
        while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
            if (PyList_Append(out_, item.get()) < 0) {
                return -1;
            }
        }
        return PyErr_Occurred() ? -1 : 0;
    }

    State &st_;
    PyObject *self_;    // borrowed: the caller's arguments outlive the walk
    PyObject *visited_; // borrowed, as above
    PyObject *out_;     // borrowed from the owner of the result
    std::vector<Frame> stack_;
};

} // namespace

Ref discover_downstream_nodes(FunctionObject &fn, const Args &args) {
    Ref downstream = Ref::steal(PyList_New(0));
    if (!downstream) {
        return nullptr;
    }
    Walk walk(state_of(fn), args[0], args[2], downstream.get());
    if (walk.run(args[1]) < 0) {
        return nullptr;
    }
    return downstream;
}

} // namespace flowsweep
