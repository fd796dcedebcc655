// The torvelin module: its definition, execution step and two functions.
#include "python_api/module/computations.hpp"
#include "python_api/module/entry.hpp"

#include <atomic>
#include <cstdint>

namespace torvelin::py {

namespace {

template <const ParameterDescriptor& descriptor, class Arguments,
          PyRef (*compute)(const Arguments&)>
PyCFunction as_method() {
    // The fast-call-with-keywords signature, stored the way METH_FASTCALL expects.
    return reinterpret_cast<PyCFunction>(
        reinterpret_cast<void (*)()>(&fastcall_entry<descriptor, Arguments, compute>));
}

PyMethodDef trace_fieldlines_def = {
    trace_fieldlines_descriptor.function_name,
    as_method<trace_fieldlines_descriptor, trace_fieldlines::Arguments,
              trace_fieldlines::compute>(),
    METH_FASTCALL | METH_KEYWORDS,
    trace_fieldlines_doc.text.data(),
};

PyMethodDef find_fieldlines_def = {
    find_fieldlines_descriptor.function_name,
    as_method<find_fieldlines_descriptor, find_fieldlines::Arguments,
              find_fieldlines::compute>(),
    METH_FASTCALL | METH_KEYWORDS,
    find_fieldlines_doc.text.data(),
};

// The module keeps process-wide values (NumPy's API table, its types,
// interned names) that belong to the interpreter that made them, so it
// refuses every interpreter but the first that imports it, as NumPy does.
std::atomic<std::int64_t> first_interpreter{-1};

void refuse_other_interpreters() {
    const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current < 0) throw PythonError{};
    std::int64_t expected = -1;
    if (first_interpreter.compare_exchange_strong(expected, current) || expected == current) {
        return;
    }
    raise(PyExc_ImportError,
          check(PyUnicode_FromFormat(
              "torvelin can be used in one interpreter of a process only: it was first "
              "imported in interpreter %lld, and this is interpreter %lld",
              static_cast<long long>(expected), static_cast<long long>(current))));
}

// __all__, created as an empty list when the module has none yet.
PyRef public_names(PyObject* module) {
    PyRef names = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (!names) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError{};
        PyErr_Clear();
        names = check(PyList_New(0));
        if (PyObject_SetAttrString(module, "__all__", names.get()) < 0) throw PythonError{};
    }
    if (!PyList_Check(names.get())) raise_type_mismatch(names.get(), "PyList");
    return names;
}

void add_function(PyObject* module, PyMethodDef* definition) {
    const PyRef module_name = check(PyModule_GetNameObject(module));
    const PyRef function = check(PyCMethod_New(definition, module, module_name.get(), nullptr));
    const PyRef name = check(PyObject_GetAttrString(function.get(), "__name__"));
    const PyRef names = public_names(module);
    if (PyList_Append(names.get(), name.get()) < 0) {
        const PyRef cause = take_pending_exception();
        throw InternalFault("could not append __name__ to __all__: " +
                            describe_exception(cause.get()));
    }
    if (PyObject_SetAttr(module, name.get(), function.get()) < 0) throw PythonError{};
}

int exec_module(PyObject* module) noexcept {
    PyObject* done = translate_failures([module] {
        refuse_other_interpreters();
        add_function(module, &trace_fieldlines_def);
        add_function(module, &find_fieldlines_def);
        return Py_None;
    });
    return done == nullptr ? -1 : 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#ifdef Py_mod_multiple_interpreters
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "torvelin",
    "Python module definition.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace torvelin::py

PyMODINIT_FUNC PyInit_torvelin(void) { return PyModuleDef_Init(&torvelin::py::module_def); }
