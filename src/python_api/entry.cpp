#include "entry.hpp"

#include <cstdio>
#include <iterator>
#include <string>

namespace torvelin::py {

void add_argument_prefix(const char* parameter) {
    if (PyErr_Occurred() != PyExc_TypeError) return;
    const PyRef original = take_pending_exception();
    const PyRef message =
        check(PyUnicode_FromFormat("argument '%s': %S", parameter, original.get()));
    PyRef prefixed = check(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    // Keeps the original's cause and, like `raise ... from`, hides the context.
    PyException_SetCause(prefixed.get(), PyException_GetCause(original.get()));
    restore_exception(std::move(prefixed));
}

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
