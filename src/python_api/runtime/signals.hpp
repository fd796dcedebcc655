// Pending signals, handled where a call looks at them: so that Ctrl-C
// raises KeyboardInterrupt promptly, however long the call.
#pragma once

#include "lib/support/checkpoint.hpp"

namespace torvelin::py {

// Runs the signal handlers of pending signals; throws PythonError when one
// raises.
void handle_pending_signals();

// A checkpoint that does only that, for work on the call's own buffers.
inline Checkpoint signal_checkpoint() noexcept {
    return Checkpoint([](void*) { handle_pending_signals(); }, nullptr);
}

}  // namespace torvelin::py
