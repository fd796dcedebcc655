#include "python_api/args/kinds.hpp"

#include "python_api/args/sequence.hpp"
#include "python_api/numpy/array_view.hpp"

#include <algorithm>

namespace torvelin::py {

u64 UnsignedSize::convert(PyObject* object) {
    PyRef index;
    if (!PyLong_Check(object)) {
        index = check(PyNumber_Index(object));
        object = index.get();
    }
    const u64 value = PyLong_AsUnsignedLongLong(object);
    if (value == UINT64_MAX && PyErr_Occurred() != nullptr) throw PythonError{};
    return value;
}

namespace {

bool attribute_equals(PyObject* type, const char* attribute, const char* expected) {
    PyRef value = PyRef::steal(PyObject_GetAttrString(type, attribute));
    if (!value) {
        discard_pending_error();
        return false;
    }
    if (!PyUnicode_Check(value.get())) return false;
    const int equal = PyUnicode_CompareWithASCIIString(value.get(), expected);
    throw_if_error_pending();
    return equal == 0;
}

bool is_numpy_bool_type(PyTypeObject* type) {
    auto* object = reinterpret_cast<PyObject*>(type);
    return attribute_equals(object, "__module__", "numpy") &&
           (attribute_equals(object, "__name__", "bool_") ||
            attribute_equals(object, "__name__", "bool"));
}

}  // namespace

bool StrictBool::convert(PyObject* object) {
    if (PyBool_Check(object)) return object == Py_True;
    PyTypeObject* type = Py_TYPE(object);
    if (!is_numpy_bool_type(type)) raise_type_mismatch(object, "bool");
    if (type->tp_as_number == nullptr || type->tp_as_number->nb_bool == nullptr) {
        raise(PyExc_TypeError,
              check(PyUnicode_FromFormat("object of type '%S' does not define a '__bool__' "
                                         "conversion",
                                         reinterpret_cast<PyObject*>(type))));
    }
    const int truth = type->tp_as_number->nb_bool(object);
    if (truth == 0 || truth == 1) return truth == 1;
    throw_if_error_pending();
    raise(PyExc_SystemError, "a truth slot failed without setting an exception");
}

std::string_view Text::convert(PyObject* object) {
    if (!PyUnicode_Check(object)) raise_type_mismatch(object, "str");
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size);
    if (utf8 == nullptr) throw PythonError{};
    return {utf8, static_cast<std::size_t>(size)};
}

Buffer<Point> SequenceOfPairs::convert(PyObject* object) {
    Buffer<Point> pairs;
    for_each_item(object, [&pairs](PyObject* item) {
        if (!PyTuple_Check(item)) raise_type_mismatch(item, "tuple");
        const Py_ssize_t length = PyTuple_GET_SIZE(item);
        if (length != 2) {
            raise(PyExc_ValueError,
                  check(PyUnicode_FromFormat(
                      "expected tuple of length 2, but got tuple of length %zd", length)));
        }
        const double x = to_float64(PyTuple_GET_ITEM(item, 0));
        const double y = to_float64(PyTuple_GET_ITEM(item, 1));
        pairs.push_back(Point{x, y});
    }, [&pairs](std::size_t expected) { pairs.reserve(expected); });
    return pairs;
}

PyRef Float64Array1D::convert(PyObject* object) {
    if (!numpy::is_array(object) || ArrayView(object).ndim() != 1 ||
        !ArrayView(object).has_float64_dtype()) {
        raise_type_mismatch(object, "ndarray");
    }
    return PyRef::borrow(object);
}

}  // namespace torvelin::py
