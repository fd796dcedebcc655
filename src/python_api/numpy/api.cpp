#include "python_api/numpy/api.hpp"

#include "lib/support/fault.hpp"
#include "python_api/runtime/errors.hpp"
#include "python_api/runtime/once.hpp"

#include <array>
#include <atomic>
#include <string>

namespace torvelin::py::numpy {

namespace {

// Positions in NumPy's API table.
constexpr std::size_t abi_version_slot = 0;
constexpr std::size_t feature_version_slot = 211;
constexpr std::size_t array_type_slot = 2;
constexpr std::size_t descr_from_type_slot = 45;
constexpr std::size_t new_from_descr_slot = 94;
constexpr std::size_t equiv_types_slot = 182;
constexpr std::size_t set_base_object_slot = 282;

using DescrFromType = PyObject* (*)(int);
using NewFromDescr = PyObject* (*)(PyTypeObject*, PyObject*, int, const Py_ssize_t*,
                                   const Py_ssize_t*, void*, int, PyObject*);
using EquivTypes = unsigned char (*)(PyObject*, PyObject*);
using SetBaseObject = int (*)(PyObject*, PyObject*);

OnceObject api_capsule;
std::atomic<void* const*> api_table{nullptr};

// "numpy._core" for NumPy 2 and later, "numpy.core" before.
PyRef core_module_name() {
    const PyRef numpy = check(PyImport_ImportModule("numpy"));
    const PyRef version = check(PyObject_GetAttrString(numpy.get(), "__version__"));
    const PyRef numpy_lib = check(PyImport_ImportModule("numpy.lib"));
    const PyRef numpy_version = check(PyObject_GetAttrString(numpy_lib.get(), "NumpyVersion"));
    const PyRef parsed = check(PyObject_CallOneArg(numpy_version.get(), version.get()));
    const PyRef major_object = check(PyObject_GetAttrString(parsed.get(), "major"));
    const unsigned long major = PyLong_AsUnsignedLong(major_object.get());
    if (major == static_cast<unsigned long>(-1) && PyErr_Occurred()) throw PythonError{};
    if (major > 255) {
        raise(PyExc_OverflowError, "NumPy major version does not fit in 8 bits");
    }
    return check(PyUnicode_FromString(major > 1 ? "numpy._core" : "numpy.core"));
}

// The ABI versions whose array and dtype layouts (ArrayFields, DescrFields)
// and table positions the module knows: NumPy 1.x and 2.x.
constexpr unsigned first_known_abi = 0x01000009, last_known_abi = 0x02000000;
// The C API of NumPy 1.25 and 1.26, the oldest NumPy the module supports.
constexpr unsigned needed_feature_version = 0x11;

using VersionEntry = unsigned (*)();

PyRef import_api_capsule() {
    const PyRef core = core_module_name();
    const PyRef multiarray_name = check(PyUnicode_FromFormat("%U.multiarray", core.get()));
    const PyRef multiarray = check(PyImport_Import(multiarray_name.get()));
    PyRef capsule = check(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API"));
    if (!PyCapsule_CheckExact(capsule.get())) raise_type_mismatch(capsule.get(), "PyCapsule");
    auto* table = static_cast<void* const*>(PyCapsule_GetPointer(capsule.get(), nullptr));
    if (table == nullptr) throw PythonError{};
    const unsigned abi = reinterpret_cast<VersionEntry>(table[abi_version_slot])();
    if (abi != first_known_abi && abi != last_known_abi) {
        raise(PyExc_ImportError,
              check(PyUnicode_FromFormat("NumPy's C API has ABI version 0x%x, which this build of "
                                         "torvelin does not know (it knows 0x%x and 0x%x)",
                                         abi, first_known_abi, last_known_abi)));
    }
    const unsigned feature = reinterpret_cast<VersionEntry>(table[feature_version_slot])();
    if (feature < needed_feature_version) {
        raise(PyExc_ImportError,
              check(PyUnicode_FromFormat("NumPy's C API has feature version 0x%x; torvelin needs "
                                         "0x%x (that of NumPy 1.25) or newer",
                                         feature, needed_feature_version)));
    }
    return capsule;
}

template <class Function>
Function entry(std::size_t slot) {
    return reinterpret_cast<Function>(api()[slot]);
}

PyTypeObject* array_type() {
    return static_cast<PyTypeObject*>(const_cast<void*>(api()[array_type_slot]));
}

PyRef float64_descr() {
    return check(entry<DescrFromType>(descr_from_type_slot)(float64_type_num));
}

}  // namespace

void* const* api() {
    if (void* const* table = api_table.load(std::memory_order_acquire)) return table;
    PyObject* capsule = api_capsule.get_or_create([] {
        try {
            return import_api_capsule();
        } catch (const PythonError&) {
            const PyRef cause = take_pending_exception();
            throw InternalFault("Failed to access NumPy array API capsule: " +
                                describe_exception(cause.get()));
        }
    });
    auto* table = static_cast<void* const*>(PyCapsule_GetPointer(capsule, nullptr));
    api_table.store(table, std::memory_order_release);
    return table;
}

bool is_array(PyObject* object) { return PyObject_TypeCheck(object, array_type()) != 0; }

bool is_plain_array(PyObject* object) { return Py_TYPE(object) == array_type(); }

bool has_float64_dtype(PyObject* array) {
    const PyRef float64 = float64_descr();
    return entry<EquivTypes>(equiv_types_slot)(fields(array)->descr, float64.get()) != 0;
}

PyRef new_float64_array(std::span<const Py_ssize_t> shape, double* data, PyRef keeper) {
    if (shape.size() > 8) throw InternalFault("an array of more than 8 dimensions");
    // The strides of a C-ordered block. An empty array's can exceed the
    // index range (the lengths after its empty axis may be huge), and are
    // never used: those are 0.
    std::array<Py_ssize_t, 8> strides{};
    Py_ssize_t stride = sizeof(double);
    for (std::size_t axis = shape.size(); axis-- > 0;) {
        strides[axis] = stride;
        if (stride != 0 && __builtin_mul_overflow(stride, shape[axis], &stride)) stride = 0;
    }
    PyTypeObject* ndarray = array_type();
    PyRef descr = float64_descr();
    // NewFromDescr takes over the descriptor's reference, also when it fails.
    PyRef array = check(entry<NewFromDescr>(new_from_descr_slot)(
        ndarray, descr.release(), static_cast<int>(shape.size()), shape.data(), strides.data(),
        data, flag_writeable, nullptr));
    // Takes over the keeper's reference, also when it fails.
    if (entry<SetBaseObject>(set_base_object_slot)(array.get(), keeper.release()) != 0) {
        throw PythonError{};
    }
    return array;
}

}  // namespace torvelin::py::numpy
