// Process-wide values created on first need and kept for the process's life.
//
// Creating one may run Python code that lets other threads in (an import, for
// instance), so two threads can build the same value side by side. Holding a
// lock across that would risk a deadlock; instead each builds its own and the
// first one published wins, the other being dropped. Works the same with or
// without a global interpreter lock.
#pragma once

#include "python_api/runtime/py_ref.hpp"

#include <atomic>

namespace torvelin::py {

class OnceObject {
public:
    // The published object, or null while nothing has been published.
    PyObject* get() const noexcept { return value_.load(std::memory_order_acquire); }

    // Publishes `candidate` unless another thread did first; returns the
    // published object (borrowed: it lives for the rest of the process).
    PyObject* publish(PyRef candidate) noexcept {
        PyObject* expected = nullptr;
        if (value_.compare_exchange_strong(expected, candidate.get(), std::memory_order_acq_rel,
                                           std::memory_order_acquire)) {
            return candidate.release();
        }
        return expected;
    }

    // get(), creating the value with `make` (which returns a PyRef or throws)
    // when there is none yet. A failed creation stores nothing.
    template <class Make>
    PyObject* get_or_create(Make&& make) {
        if (PyObject* value = get()) return value;
        return publish(make());
    }

private:
    std::atomic<PyObject*> value_{nullptr};
};

}  // namespace torvelin::py
