// The one boundary between CPython and C++: every Python-callable function goes through it.
#include "python/capi/entry.h"

#include <exception>
#include <new>

namespace mavelin::py {

void set_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception at the Python boundary");
    }
}

}  // namespace mavelin::py
