// The torvelin module: its definition, execution step and two functions.
#include "find_fieldlines.hpp"
#include "trace_fieldlines.hpp"

namespace torvelin::py {

namespace {

constexpr char trace_fieldlines_doc[] =
    "trace_fieldlines(xmin, xmax, ymin, ymax, nx, ny, bx, by, seeds, step, max_steps)\n"
    "--\n"
    "\n"
    "Trace field lines on a 2D vector grid.\n"
    "\n"
    "Parameters:\n"
    "- `py`: Python interpreter token (provided automatically).\n"
    "- `xmin`, `xmax`, `ymin`, `ymax`: domain bounds.\n"
    "- `nx`, `ny`: number of grid points in each direction.\n"
    "- `bx`, `by`: flattened Bx and By components of shape (nx * ny).\n"
    "- `seeds`: list of (x, y) seed points.\n"
    "- `step`: integration step size.\n"
    "- `max_steps`: maximum number of RK4 steps per seed.\n"
    "\n"
    "Returns a 3\u2011D NumPy array of shape (num_seeds, max_steps + 1, 2) containing the\n"
    "traced points. Unused entries are filled with NaN.";

constexpr char find_fieldlines_doc[] =
    "find_fieldlines(data, var1, var2, *, x1=None, x2=None, x0=None, y0=None, maxstep=None, "
    "numsteps=None, step=None, rtol=None, atol=None, order=None, dense=None, close=None, "
    "ctol=None, text=False, transpose=False)\n"
    "--\n"
    "\n";

template <const ParameterDescriptor& descriptor, PyRef (*call)(const BoundArguments&)>
PyCFunction as_method() {
    // The fast-call-with-keywords signature, stored the way METH_FASTCALL expects.
    return reinterpret_cast<PyCFunction>(
        reinterpret_cast<void (*)()>(&fastcall_entry<descriptor, call>));
}

PyMethodDef trace_fieldlines_def = {
    "trace_fieldlines",
    as_method<trace_fieldlines_descriptor, trace_fieldlines>(),
    METH_FASTCALL | METH_KEYWORDS,
    trace_fieldlines_doc,
};

PyMethodDef find_fieldlines_def = {
    "find_fieldlines",
    as_method<find_fieldlines_descriptor, find_fieldlines_entry>(),
    METH_FASTCALL | METH_KEYWORDS,
    find_fieldlines_doc,
};

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
        add_function(module, &trace_fieldlines_def);
        add_function(module, &find_fieldlines_def);
        return Py_None;
    });
    return done == nullptr ? -1 : 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
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
