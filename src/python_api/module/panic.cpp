#include "python_api/module/panic.hpp"

#include "python_api/runtime/errors.hpp"
#include "python_api/runtime/once.hpp"

#include <pthread.h>

#include <atomic>
#include <string>
#include <utility>

namespace torvelin::py {

namespace {

OnceObject panic_type;
std::atomic<bool> backtrace_hint_given{false};

constexpr const char* panic_doc =
    "\n"
    "The exception raised when torvelin's native code, called from Python, hits an internal "
    "fault.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

PyObject* get_or_create_panic_type() {
    return panic_type.get_or_create([] {
        PyObject* type = PyErr_NewExceptionWithDoc("_torvelin_runtime.PanicException", panic_doc,
                                                   PyExc_BaseException, nullptr);
        if (type == nullptr) {
            const PyRef cause = take_pending_exception();
            throw InternalFault("Failed to initialize new exception type.: " +
                                describe_exception(cause.get()));
        }
        return PyRef::steal(type);
    });
}

std::string current_thread_label() {
    char name[64] = "";
    if (pthread_getname_np(pthread_self(), name, sizeof name) != 0) name[0] = '\0';
    return "'" + std::string(name) + "' (id " + std::to_string(PyThread_get_thread_ident()) + ")";
}

void write_diagnostic(const InternalFault& fault) noexcept {
    const std::string text = "torvelin: internal fault in thread " + current_thread_label() +
                             " at " + fault.where().file_name() + ":" +
                             std::to_string(fault.where().line()) + ":\n" + fault.what() + "\n";
    // Keep whatever exception is pending (a PanicException being replaced, say).
    PyRef pending = take_pending_exception();
    PySys_FormatStderr("%s", text.c_str());
    if (!backtrace_hint_given.exchange(true)) {
        PySys_FormatStderr(
            "torvelin: note: to get a native backtrace, run Python under gdb with "
            "'catch throw'.\n");
    }
    PyErr_Clear();
    if (pending) restore_exception(std::move(pending));
}

}  // namespace

void raise_panic(const InternalFault& fault) noexcept {
    try {
        write_diagnostic(fault);
        PyObject* type = get_or_create_panic_type();
        const PyRef message = check(PyUnicode_FromString(fault.what()));
        PyErr_SetObject(type, message.get());
    } catch (const InternalFault& creation_failed) {
        // No PanicException to raise: say so, and raise the plainest error.
        write_diagnostic(creation_failed);
        PyErr_SetString(PyExc_SystemError, creation_failed.what());
    } catch (...) {
        if (PyErr_Occurred() == nullptr) PyErr_NoMemory();
    }
}

bool panic_is_pending() noexcept {
    PyObject* type = panic_type.get();
    return type != nullptr && PyErr_ExceptionMatches(type);
}

InternalFault fault_from_pending_panic() {
    PyRef panic = take_pending_exception();
    PySys_FormatStderr("torvelin: a PanicException came back through Python code:\n");
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_DisplayException(panic.get());
#else
    PyRef traceback = PyRef::steal(PyException_GetTraceback(panic.get()));
    PyErr_Display(reinterpret_cast<PyObject*>(Py_TYPE(panic.get())), panic.get(),
                  traceback ? traceback.get() : Py_None);
#endif
    PyErr_Clear();
    std::string message = "<no message>";
    PyRef args = PyRef::steal(PyObject_GetAttrString(panic.get(), "args"));
    if (args && PyTuple_Check(args.get()) && PyTuple_GET_SIZE(args.get()) == 1) {
        message = str_or_placeholder(PyTuple_GET_ITEM(args.get(), 0));
    } else {
        PyErr_Clear();
        message = str_or_placeholder(panic.get());
    }
    return InternalFault(message);
}

}  // namespace torvelin::py
