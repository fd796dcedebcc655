#include "python_api/numpy/result_arrays.hpp"

#include "lib/support/fault.hpp"
#include "python_api/runtime/errors.hpp"
#include "python_api/numpy/api.hpp"
#include "python_api/runtime/once.hpp"

#include <new>
#include <utility>

namespace torvelin::py {

namespace {

// The keeper: a Python object that owns one buffer of doubles.
struct BufferKeeper {
    PyObject_HEAD
    DoubleBuffer values;
};

void buffer_keeper_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<BufferKeeper*>(self)->values.~DoubleBuffer();
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot buffer_keeper_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(buffer_keeper_dealloc)},
    {Py_tp_doc, const_cast<char*>("Owner of the memory behind arrays returned by torvelin.")},
    {0, nullptr},
};

PyType_Spec buffer_keeper_spec = {
    "_torvelin_runtime.PySliceContainer",
    sizeof(BufferKeeper),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    buffer_keeper_slots,
};

OnceObject buffer_keeper_type;

[[noreturn]] void fail_to_create_container() {
    const PyRef cause = take_pending_exception();
    throw InternalFault("Failed to create slice container: " + describe_exception(cause.get()));
}

PyRef new_buffer_keeper(DoubleBuffer values) {
    auto* type = reinterpret_cast<PyTypeObject*>(buffer_keeper_type.get_or_create([] {
        PyObject* created = PyType_FromSpec(&buffer_keeper_spec);
        if (created == nullptr) fail_to_create_container();
        return PyRef::steal(created);
    }));
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) fail_to_create_container();
    new (&reinterpret_cast<BufferKeeper*>(self)->values) DoubleBuffer(std::move(values));
    return PyRef::steal(self);
}

}  // namespace

PyRef make_output_array(DoubleBuffer values, std::span<const Py_ssize_t> shape) {
    // NumPy allocates memory of its own for a null data pointer, which an
    // empty buffer has; give it a real, if empty, one.
    if (values.data() == nullptr) values.reserve(1);
    double* data = values.data();
    PyRef keeper = new_buffer_keeper(std::move(values));
    return numpy::new_float64_array(shape, data, std::move(keeper));
}

}  // namespace torvelin::py
