// The core part of a module's state.
#include "core/module_state.hpp"
#include "core/function.hpp"
#include "core/shutdown.hpp"

namespace nalo {

int init_core(PyObject *module) {
    Ref type = make_function_type(module);
    if (!type || watch_interpreter_exit() < 0) {
        return -1;
    }
    CoreState &state = core_state(module);
    state.function_type = reinterpret_cast<PyTypeObject *>(type.release());
    state.globals = new_ref(PyModule_GetDict(module));
    return 0;
}

void free_core(CoreState &state) noexcept {
    if (state.dict_watcher >= 0) {
        compat::remove_dict_watcher(state.dict_watcher);
    }
    state.dict_watcher = CoreState::no_dict_watcher_yet;
}

} // namespace nalo
