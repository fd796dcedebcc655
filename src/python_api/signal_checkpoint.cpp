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

void read_watched(const ArrayView& view, ElementOrder order, double* out, std::ptrdiff_t spacing,
                  const char* changed) {
    const std::optional<WatchedArray> watched = WatchedArray::watch(view);
    if (!watched) return view.read(order, out, spacing);
    struct Context {
        const WatchedArray& watched;
        const char* changed;
    } context{*watched, changed};
    const Checkpoint between_pieces(
        [](void* self) {
            handle_pending_signals();
            const auto& reading = *static_cast<const Context*>(self);
            if (!reading.watched.unchanged()) raise(PyExc_RuntimeError, reading.changed);
        },
        &context);
    view.read(order, out, spacing, between_pieces);
}

}  // namespace torvelin::py
