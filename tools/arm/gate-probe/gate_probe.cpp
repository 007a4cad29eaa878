// A small extension module for demonstrating the instruction-set gates: it
// exercises what the real modules' machine code is made of (double
// arithmetic, 64-bit integer division, atomics, C++ exceptions, guarded
// statics), so that each way of building it shows its instruction set both
// in the static check and when it runs on the boards' CPU models (ARM1176,
// Cortex-A53). Its static object's destructor shows that static destructors
// still run when the object is unloaded (with the start-file stand-in on
// 32-bit ARM, the toolchain's own start files on AArch64).
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <stdexcept>

#include <unistd.h>

namespace {

std::atomic<std::uint64_t> calls{0};

struct UnloadNote {
    UnloadNote() = default;
    UnloadNote(const UnloadNote &) = delete;
    UnloadNote &operator=(const UnloadNote &) = delete;
    ~UnloadNote() {
        static constexpr char text[] = "static destructor ran\n";
        [[maybe_unused]] const auto n = write(STDOUT_FILENO, text, sizeof text - 1);
    }
};
UnloadNote unload_note;

double scaled(double x) {
    // A constant such as 0.5 is a one-instruction immediate from VFPv3 on,
    // a literal-pool load on VFPv2.
    return x * 0.5 + 1.0;
}

std::int64_t checked_div(std::int64_t a, std::int64_t b) {
    if (b == 0)
        throw std::domain_error("division by zero");
    return a / b;
}

const std::uint64_t &table_base() {
    // Known only at run time, so the initialisation is guarded: 3 << 40.
    static const std::uint64_t base = static_cast<std::uint64_t>(Py_GetVersion()[0] - '0') << 40;
    return base;
}

PyObject *probe_run(PyObject *, PyObject *arg) {
    const double x = PyFloat_AsDouble(arg);
    if (x == -1.0 && PyErr_Occurred())
        return nullptr;
#if defined(GATE_PROBE_HIDDEN) && defined(__aarch64__)
    // stadd xzr, [sp]: an ARMv8.1 (LSE) atomic add of zero, harmless where it
    // runs, that no object records (AArch64 has no build attributes), as
    // inline assembly can bring in; only the disassembly scan sees it.
    asm volatile(".inst 0xf83f03ff" ::: "memory");
#elif defined(GATE_PROBE_HIDDEN)
    // movw r1, #0x234: ARMv7 code that no build attribute records, as inline
    // assembly can bring in; only the disassembly scan sees it.
    asm volatile(".inst 0xe3001234" ::: "r1");
#endif
    const std::uint64_t n = calls.fetch_add(1) + 1;
    std::int64_t q = 0;
    try {
        q = checked_div(static_cast<std::int64_t>(table_base() + n), static_cast<std::int64_t>(x));
    } catch (const std::domain_error &) {
        q = -1;
    }
    return Py_BuildValue("(dLK)", scaled(x), static_cast<long long>(q),
                         static_cast<unsigned long long>(n));
}

PyMethodDef methods[] = {
    {"run", probe_run, METH_O, "run(x) -> (x * 0.5 + 1, ((3 << 40) + calls) // int(x), calls)"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module = {
    PyModuleDef_HEAD_INIT, "gate_probe", nullptr, 0, methods, nullptr, nullptr, nullptr, nullptr};

} // namespace

PyMODINIT_FUNC PyInit_gate_probe() {
    return PyModule_Create(&module);
}
