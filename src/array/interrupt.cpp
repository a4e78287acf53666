#include "interrupt.hpp"

#include "binding/python.hpp"

namespace varnelle::array {

bool signal_raised() noexcept {
    // NumPy may or may not hold the lock here (it keeps it for short calls);
    // PyGILState_Ensure works either way.
    const PyGILState_STATE state = PyGILState_Ensure();
    const bool raised = PyErr_CheckSignals() < 0;
    PyGILState_Release(state);
    return raised;
}

}  // namespace varnelle::array
