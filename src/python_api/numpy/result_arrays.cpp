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
struct SliceContainer {
    PyObject_HEAD
    DoubleBuffer values;
};

void slice_container_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<SliceContainer*>(self)->values.~DoubleBuffer();
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot slice_container_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(slice_container_dealloc)},
    {Py_tp_doc, const_cast<char*>("Owner of the memory behind arrays returned by torvelin.")},
    {0, nullptr},
};

PyType_Spec slice_container_spec = {
    "_torvelin_runtime.PySliceContainer",
    sizeof(SliceContainer),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    slice_container_slots,
};

OnceObject slice_container_type;

[[noreturn]] void fail_to_create_container() {
    const PyRef cause = take_pending_exception();
    throw InternalFault("Failed to create slice container: " + describe_exception(cause.get()));
}

PyRef new_slice_container(DoubleBuffer values) {
    auto* type = reinterpret_cast<PyTypeObject*>(slice_container_type.get_or_create([] {
        PyObject* created = PyType_FromSpec(&slice_container_spec);
        if (created == nullptr) fail_to_create_container();
        return PyRef::steal(created);
    }));
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) fail_to_create_container();
    new (&reinterpret_cast<SliceContainer*>(self)->values) DoubleBuffer(std::move(values));
    return PyRef::steal(self);
}

}  // namespace

PyRef make_output_array(DoubleBuffer values, std::span<const Py_ssize_t> shape) {
    // NumPy allocates memory of its own for a null data pointer, which an
    // empty buffer has; give it a real, if empty, one.
    if (values.data() == nullptr) values.reserve(1);
    double* data = values.data();
    PyRef keeper = new_slice_container(std::move(values));
    return numpy::new_float64_array(shape, data, std::move(keeper));
}

}  // namespace torvelin::py
