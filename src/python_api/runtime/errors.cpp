#include "python_api/runtime/errors.hpp"

#include <cstdio>
#include <iterator>
#include <string>

namespace torvelin::py {

namespace {

// 16.0 GB, 512 bytes: decimal units, one decimal place.
std::string describe_bytes(double bytes) {
    if (bytes < 1000.0) return std::to_string(static_cast<unsigned>(bytes)) + " bytes";
    static constexpr const char* units[] = {"kB", "MB", "GB", "TB", "PB", "EB", "ZB", "YB"};
    std::size_t unit = 0;
    bytes /= 1000.0;
    while (bytes >= 999.95 && unit + 1 < std::size(units)) {
        bytes /= 1000.0;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", bytes, units[unit]);
    return text;
}

}  // namespace

void raise(PyObject* type, const char* message) {
    raise(type, check(PyUnicode_FromString(message)));
}

void raise(PyObject* type, PyRef message) {
    PyErr_SetObject(type, message.get());
    throw PythonError{};
}

void raise_type_mismatch(PyObject* object, const char* expected) {
    if (object == Py_None) {
        raise(PyExc_TypeError,
              check(PyUnicode_FromFormat("'None' is not an instance of '%s'", expected)));
    }
    const PyRef qualname = check(PyType_GetQualName(Py_TYPE(object)));
    raise(PyExc_TypeError, check(PyUnicode_FromFormat("'%U' object is not an instance of '%s'",
                                                      qualname.get(), expected)));
}

PyRef take_pending_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyRef::steal(PyErr_GetRaisedException());
#else
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) return {};
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return PyRef::steal(value);
#endif
}

void restore_exception(PyRef exception) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception.release());
#else
    PyObject* value = exception.release();
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
    Py_INCREF(type);
    PyErr_Restore(type, value, PyException_GetTraceback(value));
#endif
}

void discard_pending_error() {
    if (PyErr_ExceptionMatches(PyExc_Exception)) {
        PyErr_Clear();
        return;
    }
    throw PythonError{};
}

std::string str_or_placeholder(PyObject* object) {
    const PyRef text = PyRef::steal(PyObject_Str(object));
    if (text) {
        Py_ssize_t size = 0;
        if (const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size)) {
            return std::string(utf8, static_cast<std::size_t>(size));
        }
    }
    PyErr_Clear();
    return "<unprintable>";
}

std::string describe_exception(PyObject* exception) {
    if (exception == nullptr) return "no exception was set";
    std::string description = "type: ";
    const PyRef qualname = PyRef::steal(PyType_GetQualName(Py_TYPE(exception)));
    description += qualname ? str_or_placeholder(qualname.get()) : "<unknown>";
    if (!qualname) PyErr_Clear();
    description += ", value: " + str_or_placeholder(exception);
    const PyRef traceback = PyRef::steal(PyException_GetTraceback(exception));
    if (!traceback || traceback.get() == Py_None) return description + ", traceback: none";
    // The innermost frame is where the failure happened.
    PyRef frame_holder = PyRef::borrow(traceback.get());
    while (true) {
        PyRef next = PyRef::steal(PyObject_GetAttrString(frame_holder.get(), "tb_next"));
        if (!next || next.get() == Py_None) break;
        frame_holder = std::move(next);
    }
    PyErr_Clear();
    const auto attribute = [&](const char* name) {
        PyRef value = PyRef::steal(PyObject_GetAttrString(frame_holder.get(), name));
        std::string text = value ? str_or_placeholder(value.get()) : "?";
        PyErr_Clear();
        return text;
    };
    const PyRef frame = PyRef::steal(PyObject_GetAttrString(frame_holder.get(), "tb_frame"));
    PyErr_Clear();
    std::string where = "?";
    if (frame) {
        const PyRef code = PyRef::steal(PyObject_GetAttrString(frame.get(), "f_code"));
        PyErr_Clear();
        if (code) {
            PyRef filename = PyRef::steal(PyObject_GetAttrString(code.get(), "co_filename"));
            PyRef function = PyRef::steal(PyObject_GetAttrString(code.get(), "co_name"));
            PyErr_Clear();
            where = "File \"" + (filename ? str_or_placeholder(filename.get()) : "?") +
                    "\", line " + attribute("tb_lineno") + ", in " +
                    (function ? str_or_placeholder(function.get()) : "?");
        }
    }
    return description + ", traceback: " + where;
}

void raise_memory_error(const AllocationFailure& failure) noexcept {
    try {
        std::string message = "cannot allocate " + describe_bytes(failure.bytes());
        if (!failure.purpose().empty()) message += " for " + failure.purpose();
        PyErr_SetString(PyExc_MemoryError, message.c_str());
    } catch (...) {
        PyErr_NoMemory();
    }
}

}  // namespace torvelin::py
