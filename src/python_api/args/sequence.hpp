// Iteration over a Python sequence, shared by the pair and number conversions.
#pragma once

#include "python_api/runtime/errors.hpp"

#include <algorithm>
#include <cstddef>

namespace torvelin::py {

// Reservations from a reported length are a hint: a sequence claiming
// billions of items must not make us commit memory for them up front.
inline constexpr std::size_t max_length_hint = std::size_t{1} << 20;

inline constexpr std::size_t items_between_signal_checks = std::size_t{1} << 16;

// The next item of `iterator` (a new reference), or an empty PyRef once it is
// exhausted; throws PythonError when the iteration fails.
inline PyRef next_item(PyObject* iterator) {
#if PY_VERSION_HEX >= 0x030E0000
    // 1: an item, 0: the end, -1: an exception is set. Unlike PyIter_Next, a
    // null result never leaves the caller to ask whether an error is pending.
    PyObject* item = nullptr;
    if (PyIter_NextItem(iterator, &item) < 0) throw PythonError{};
    return PyRef::steal(item);
#else
    PyRef item = PyRef::steal(PyIter_Next(iterator));
    if (!item) throw_if_error_pending();
    return item;
#endif
}

// Refuses str ("Can't extract `str` to `Vec`") and non-sequences (type
// mismatch naming "Sequence"); otherwise passes len() (0 when that fails) to
// `reserve`, then every item, in iteration order, to `visit`.
template <class Visit, class Reserve>
void for_each_item(PyObject* sequence, Visit&& visit, Reserve&& reserve) {
    if (PyUnicode_Check(sequence)) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (!PySequence_Check(sequence)) raise_type_mismatch(sequence, "Sequence");
    Py_ssize_t length = PyObject_Length(sequence);
    if (length < 0) {
        discard_pending_error();
        length = 0;
    }
    reserve(std::min(static_cast<std::size_t>(length), max_length_hint));
    const PyRef iterator = check(PyObject_GetIter(sequence));
    std::size_t count = 0;
    while (PyRef item = next_item(iterator.get())) {
        visit(item.get());
        // Converting a long list of plain numbers runs no Python code, so
        // pending signals are looked at now and then.
        if (++count % items_between_signal_checks == 0 && PyErr_CheckSignals() != 0) {
            throw PythonError{};
        }
    }
}

}  // namespace torvelin::py
