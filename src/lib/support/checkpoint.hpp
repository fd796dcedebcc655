// How a long computation lets its caller look outside at bounded
// intervals of work: to notice an interrupt, say, and abandon the work by
// throwing. Between two calls the computation holds no state that the
// caller could see half-updated.
#pragma once

#include "checked.hpp"

namespace torvelin {

class Checkpoint {
public:
    // Steps between two calls, each a few milliseconds of work: of a line
    // traced on its own, or of a block of lanes (a lane stepped alone counts
    // as a block).
    static constexpr u64 scalar_steps = 1 << 15;
    static constexpr u64 block_steps = 1 << 13;

    constexpr Checkpoint() noexcept = default;
    constexpr Checkpoint(void (*check)(void*), void* context) noexcept
        : check_(check), context_(context) {}

    void operator()() const {
        if (check_ != nullptr) check_(context_);
    }

private:
    void (*check_)(void*) = nullptr;
    void* context_ = nullptr;
};

}  // namespace torvelin
