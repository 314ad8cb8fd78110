// The one boundary between CPython and C++: every Python-callable function goes through it.
#pragma once

#include <cxxabi.h>

#include <type_traits>

#include "python/capi/handle.h"

namespace mavelin::py {

// Sets the Python exception for the C++ exception being handled: MemoryError for
// std::bad_alloc, RuntimeError with what() for other std::exceptions, SystemError otherwise.
void set_error_from_current_exception() noexcept;

namespace detail {

template <class R>
R failure() noexcept {
    if constexpr (std::is_pointer_v<R>) {
        return nullptr;
    } else {
        return static_cast<R>(-1);
    }
}

template <auto F, class Sig = decltype(F)>
struct Entry;

template <auto F, class R, class... Args>
struct Entry<F, R (*)(Args...)> {
    // Not noexcept: a thread the host ends at exit (pthread_exit while it waits for the
    // interpreter lock) unwinds through here, and that unwinding must go on.
    static R call(Args... args) {
        try {
            return F(args...);
        } catch (abi::__forced_unwind&) {
            throw;
        } catch (...) {
            set_error_from_current_exception();
            if constexpr (std::is_void_v<R>) {
                // Nobody to report to (a destructor slot): the host prints it as unraisable.
                PyErr_WriteUnraisable(nullptr);
            } else {
                return failure<R>();
            }
        }
    }
};

}  // namespace detail

// `entry<&impl>` is `impl` behind the boundary: same signature, and any C++
// exception leaving `impl` becomes the Python exception of set_error_from_current_exception
// with the failure value of the return type (null, or -1). Put it wherever CPython gets a
// function pointer: method tables, type slots, getters, module initialisers.
template <auto F>
inline constexpr auto entry = &detail::Entry<F>::call;

// A method table row for `F` behind the boundary, whatever calling convention `flags` names.
template <auto F>
PyMethodDef method(const char* name, int flags, const char* doc) {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<F>)), flags,
            doc};
}

// The row that ends a method table.
inline constexpr PyMethodDef kEndOfMethods = {nullptr, nullptr, 0, nullptr};

// A type slot whose function is `F` behind the boundary.
template <auto F>
PyType_Slot slot(int id) {
    return {id, reinterpret_cast<void*>(entry<F>)};
}

}  // namespace mavelin::py
