#include "coercion.hpp"

#include "array_view.hpp"
#include "conversions.hpp"
#include "plain_array.hpp"
#include "errors.hpp"
#include "interned.hpp"
#include "numpy_api.hpp"
#include "sequence.hpp"


namespace torvelin::py {

namespace {

LargeVector sequence_to_vector(PyObject* sequence) {
    LargeVector values;
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

LargeVector flatten_column_major(PyObject* source) {
    const PyRef raveled = check(
        PyObject_CallMethodOneArg(source, interned::ravel(), interned::fortran_order()));
    const PyRef list = check(PyObject_CallMethodNoArgs(raveled.get(), interned::tolist()));
    return sequence_to_vector(list.get());
}

// Every element of `view`, in `order`.
LargeVector read_all(const ArrayView& view, ElementOrder order) {
    LargeVector values(view.size());
    view.read(order, values.data());
    return values;
}

}  // namespace

LargeVector extract_vector(PyObject* source) {
    // Same values as the general path below, read directly.
    if (const auto plain = plain_array(source)) {
        return read_all(*plain, ElementOrder::first_index_fastest);
    }
    if (has_ravel(source)) return flatten_column_major(source);
    if (numpy::is_array(source)) {
        const ArrayView view(source);
        if (view.has_float64_dtype()) {
            if (view.ndim() != 1) return read_all(view, ElementOrder::last_index_fastest);
            const std::span<const double> values = view.contiguous_float64();
            return LargeVector(values.begin(), values.end());
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
