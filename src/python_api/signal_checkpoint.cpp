#include "signal_checkpoint.hpp"

#include "errors.hpp"

namespace torvelin::py {

void handle_pending_signals() {
    if (PyErr_CheckSignals() != 0) throw PythonError{};
}

void SignalCheckpoint::check(void* self) {
    handle_pending_signals();
    static_cast<const SignalCheckpoint*>(self)->watch_.check();
}

}  // namespace torvelin::py
