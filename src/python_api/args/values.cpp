#include "python_api/args/values.hpp"

#include "python_api/numpy/array_view.hpp"
#include "python_api/args/kinds.hpp"
#include "python_api/runtime/errors.hpp"
#include "python_api/runtime/interned.hpp"
#include "python_api/numpy/api.hpp"
#include "python_api/args/sequence.hpp"
#include "python_api/numpy/held_array.hpp"
#include "python_api/runtime/signals.hpp"

#include <algorithm>


namespace torvelin::py {

namespace {

DoubleBuffer sequence_to_vector(PyObject* sequence) {
    DoubleBuffer values;
    for_each_item(
        sequence, [&values](PyObject* item) { values.push_back(to_float64(item)); },
        [&values](std::size_t expected) { values.reserve(expected); });
    return values;
}

bool has_ravel(PyObject* source) {
    PyRef ravel = PyRef::steal(PyObject_GetAttr(source, interned::ravel()));
    if (ravel) return true;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError{};
    PyErr_Clear();
    return false;
}

// Every element of `view`, in `order`, read in pieces (see read_watched).
DoubleBuffer read_all(const ArrayView& view, ElementOrder order) {
    DoubleBuffer values(view.size());
    read_watched(view, order, values.data(), 1, input_array_changed);
    return values;
}

// The `count` elements of a plain one-dimensional array that read() does
// not know, as `tolist()` lists them, a piece at a time so that pending
// signals are handled between pieces. Slicing goes through the array's own
// indexing, so Python code that changes the array meanwhile cannot make
// this read freed memory.
DoubleBuffer list_in_pieces(PyObject* array, std::size_t count) {
    DoubleBuffer values;
    values.reserve(count);
    for (std::size_t first = 0; first < count; first += items_between_signal_checks) {
        const auto last = std::min(count, first + items_between_signal_checks);
        const PyRef piece = check(PySequence_GetSlice(array, static_cast<Py_ssize_t>(first),
                                                      static_cast<Py_ssize_t>(last)));
        const PyRef list = check(PyObject_CallMethodNoArgs(piece.get(), interned::tolist()));
        for_each_item(
            list.get(), [&values](PyObject* item) { values.push_back(to_float64(item)); },
            [](std::size_t) {});
        handle_pending_signals();
    }
    return values;
}

DoubleBuffer flatten_column_major(PyObject* source) {
    const PyRef raveled = check(
        PyObject_CallMethodOneArg(source, interned::ravel(), interned::fortran_order()));
    // A plain one-dimensional result lists its elements as Python numbers
    // whose float conversion gives exactly what reading them gives.
    if (numpy::is_plain_array(raveled.get())) {
        const ArrayView view(raveled.get());
        if (view.ndim() == 1) {
            if (view.readable()) return read_all(view, ElementOrder::first_index_fastest);
            return list_in_pieces(raveled.get(), view.size());
        }
    }
    const PyRef list = check(PyObject_CallMethodNoArgs(raveled.get(), interned::tolist()));
    return sequence_to_vector(list.get());
}

}  // namespace

DoubleBuffer extract_vector(PyObject* source, std::optional<ArrayReading>* reading) {
    // The shape before any Python code runs; ravel() is read first index fastest.
    const auto note = [&](const ArrayView& view, ElementOrder order) {
        if (reading) *reading = ArrayReading{{view.shape().begin(), view.shape().end()}, order};
    };
    // Same values as the general path below, read directly.
    if (const auto plain = plain_array(source)) {
        note(*plain, ElementOrder::first_index_fastest);
        return read_all(*plain, ElementOrder::first_index_fastest);
    }
    if (has_ravel(source)) {
        if (numpy::is_array(source)) note(ArrayView(source), ElementOrder::first_index_fastest);
        return flatten_column_major(source);
    }
    if (numpy::is_array(source)) {
        const ArrayView view(source);
        if (view.has_float64_dtype()) {
            // One dimension: refused unless contiguous; more: any layout.
            if (view.ndim() == 1) view.contiguous_float64();
            const ElementOrder order = view.ndim() == 1 ? ElementOrder::first_index_fastest
                                                        : ElementOrder::last_index_fastest;
            note(view, order);
            return read_all(view, order);
        }
    }
    try {
        return sequence_to_vector(source);
    } catch (const PythonError&) {
        discard_pending_error();
    }
    raise(PyExc_TypeError, "Expected a 1D sequence or NumPy array of numeric values");
}

PyRef field_source(PyObject* data, PyObject* field) {
    if (!PyUnicode_Check(field)) return PyRef::borrow(field);
    // The name is the whole UTF-8 text, NUL characters included.
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(field, &size);
    if (utf8 == nullptr) throw PythonError{};
    const PyRef name = check(PyUnicode_FromStringAndSize(utf8, size));
    return check(PyObject_GetAttr(data, name.get()));
}

}  // namespace torvelin::py
