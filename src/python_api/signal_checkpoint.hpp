// The checkpoint of a call: pending signals are handled there (so Ctrl-C
// raises KeyboardInterrupt promptly), and since a handler is Python code,
// the arrays the call reads in place are checked again before it goes on.
#pragma once

#include "../lib/checkpoint.hpp"
#include "held_array.hpp"

namespace torvelin::py {

// Runs the signal handlers of pending signals; throws PythonError when one
// raises.
void handle_pending_signals();

// Reads `view` as ArrayView::read does, handling pending signals between
// pieces. Meanwhile the array is watched: when a signal handler resized,
// reshaped or retyped it, RuntimeError `changed` is raised before its
// memory is read again. An array whose memory cannot be watched is read in
// one go.
void read_watched(const ArrayView& view, ElementOrder order, double* out, std::ptrdiff_t spacing,
                  const char* changed);

class SignalCheckpoint {
public:
    explicit SignalCheckpoint(const FieldWatch& watch) noexcept : watch_(watch) {}

    // Valid while this object lives.
    Checkpoint checkpoint() const noexcept {
        return Checkpoint(&check, const_cast<SignalCheckpoint*>(this));
    }

private:
    static void check(void* self);

    const FieldWatch& watch_;
};

}  // namespace torvelin::py
