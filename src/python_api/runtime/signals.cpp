#include "python_api/runtime/signals.hpp"

#include "python_api/runtime/errors.hpp"

namespace torvelin::py {

void handle_pending_signals() {
    if (PyErr_CheckSignals() != 0) throw PythonError{};
}

}  // namespace torvelin::py
