#include "interrupt.hpp"

#include <atomic>

#include "binding/python.hpp"

namespace varnelle::array {
namespace {

std::atomic<unsigned long> g_main_thread{0};

}  // namespace

int remember_main_thread() noexcept {
    PyObject* threading = PyImport_ImportModule("threading");
    if (threading == nullptr) return -1;
    PyObject* main = PyObject_CallMethod(threading, "main_thread", nullptr);
    Py_DecRef(threading);
    if (main == nullptr) return -1;
    PyObject* ident = PyObject_GetAttrString(main, "ident");
    Py_DecRef(main);
    if (ident == nullptr) return -1;
    const unsigned long value = PyLong_AsUnsignedLong(ident);
    Py_DecRef(ident);
    if (PyErr_Occurred()) return -1;
    g_main_thread.store(value, std::memory_order_relaxed);
    return 0;
}

bool on_main_thread() noexcept { return PyThread_get_thread_ident() == g_main_thread.load(std::memory_order_relaxed); }

bool signal_raised() noexcept {
    // NumPy may or may not hold the lock here (it keeps it for short calls);
    // PyGILState_Ensure works either way.
    const PyGILState_STATE state = PyGILState_Ensure();
    const bool raised = PyErr_CheckSignals() < 0;
    PyGILState_Release(state);
    return raised;
}

bool exception_pending() noexcept {
    const PyGILState_STATE state = PyGILState_Ensure();
    const bool pending = PyErr_Occurred() != nullptr;
    PyGILState_Release(state);
    return pending;
}

}  // namespace varnelle::array
