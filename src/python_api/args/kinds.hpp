// The kinds of parameter the module's functions take, and how each converts.
//
// Every kind is a type with a `value_type` and a static `convert(PyObject*)`
// that returns the native value or throws PythonError with the exception set.
#pragma once

#include "lib/grid/vector_grid.hpp"
#include "lib/memory/buffer.hpp"
#include "python_api/runtime/errors.hpp"

#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace torvelin::py {

// The float conversion: exact floats directly, anything else through
// PyFloat_AsDouble (float subclasses, __float__, __index__).
inline double to_float64(PyObject* object) {
    if (PyFloat_CheckExact(object)) return PyFloat_AS_DOUBLE(object);
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred() != nullptr) throw PythonError{};
    return value;
}

struct AnyObject {
    using value_type = PyObject*;
    static PyObject* convert(PyObject* object) noexcept { return object; }
};

struct Float64 {
    using value_type = double;
    static double convert(PyObject* object) { return to_float64(object); }
};

struct UnsignedSize {
    using value_type = u64;
    static u64 convert(PyObject* object);
};

struct StrictBool {
    using value_type = bool;
    static bool convert(PyObject* object);
};

// UTF-8 text of a str, valid while the argument lives (the whole call).
struct Text {
    using value_type = std::string_view;
    static std::string_view convert(PyObject* object);
};

struct SequenceOfPairs {
    using value_type = Buffer<Point>;
    static Buffer<Point> convert(PyObject* object);
};

// A one-dimensional NumPy array of native float64, held for the call. Its
// memory is looked at only when it is read, as Python code running in
// between could have reshaped or resized it.
struct Float64Array1D {
    using value_type = PyRef;
    static PyRef convert(PyObject* object);
};

// None, or a missing argument, is "absent"; anything else converts by Kind.
template <class Kind>
struct Optional {
    using value_type = std::optional<typename Kind::value_type>;
    static constexpr bool accepts_missing = true;
    static value_type convert(PyObject* object) {
        if (object == nullptr || object == Py_None) return std::nullopt;
        return Kind::convert(object);
    }
};

// A missing argument takes `default_value`; a given one, None included,
// converts by Kind.
template <class Kind, auto default_value>
struct Defaulted {
    using value_type = typename Kind::value_type;
    static constexpr bool accepts_missing = true;
    static value_type convert(PyObject* object) {
        if (object == nullptr) return default_value;
        return Kind::convert(object);
    }
};

using FalseByDefault = Defaulted<StrictBool, false>;

}  // namespace torvelin::py
