#include "drivers.hpp"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "../lanes/scheduler.hpp"

namespace torvelin {

namespace {

// Reverses values[0, count) where they lie.
void reverse_values(double* values, std::size_t count, const Checkpoint& checkpoint) {
    in_pieces(count / 2, checkpoint, [=](std::size_t first, std::size_t swaps) {
        std::swap_ranges(values + first, values + first + swaps,
                         std::reverse_iterator<double*>(values + count - first));
    });
}

// Copies count values from `from` to `to`, the regions possibly
// overlapping, starting at the end when `to` lies beyond `from`.
void move_values(const double* from, double* to, std::size_t count, const Checkpoint& checkpoint) {
    in_pieces(count, checkpoint, [=](std::size_t done, std::size_t piece) {
        const std::size_t first = to > from ? count - done - piece : done;
        std::memmove(to + first, from + first, piece * sizeof(double));
    });
}

// Copies count values from `from` to `to`, the last first.
void copy_reversed(const double* from, double* to, std::size_t count,
                   const Checkpoint& checkpoint) {
    in_pieces(count, checkpoint, [=](std::size_t first, std::size_t piece) {
        for (std::size_t k = first; k < first + piece; ++k) to[k] = from[count - 1 - k];
    });
}

// Both halves of every footpoint's line, traced one after the other in the
// same lane, written straight into the buffers that become the line's
// coordinate arrays. Without the closure test the backward half goes first:
// reversed where it lies, it is the start of the line, and the forward half
// follows it in the same buffers, so no point moves. With the test the
// forward half goes first, as it may stand alone; a line that does not
// close has the backward half put before it, the shorter half moving.
class JoinedLines {
public:
    static constexpr std::ptrdiff_t point_stride = 1;

    JoinedLines(std::span<const Point> footpoints, double step, u64 max_steps,
                bool close_on_loop, const Checkpoint& checkpoint)
        : footpoints_(footpoints), step_(step), close_on_loop_(close_on_loop),
          checkpoint_(checkpoint),
          // The seed, both halves' steps and, on closure, the seed again.
          longest_(2 * std::min<u64>(max_steps, u64{1} << 60) + 2),
          finished_at_(footpoints.size()) {}

    // A line's first half has id 2n, its second 2n + 1.
    bool next(LineStart& line) {
        if (!second_halves_.empty()) {
            const std::size_t n = second_halves_.back();
            second_halves_.pop_back();
            line = {2 * n + 1, footpoints_[n], close_on_loop_ ? -step_ : step_, false};
            return true;
        }
        if (next_footpoint_ == footpoints_.size()) return false;
        const std::size_t n = next_footpoint_++;
        finished_at_[n] = no_line;
        line = {2 * n, footpoints_[n], close_on_loop_ ? step_ : -step_, close_on_loop_};
        return true;
    }
    // The second half starts where the first did, so it lies outside too:
    // the footpoint has no line.
    void outside(std::size_t) const noexcept {}

    PointSlots begin(std::size_t id, Point seed) {
        LineCoordinates& line = half(id);
        // Backward first, the forward half goes on from the footpoint,
        // which ends the reversed backward half.
        if (!close_on_loop_ && id % 2 == 1) return slots_after(line, line.size);
        reserve(line, std::min<u64>(initial_capacity, longest_));
        line.x.data()[0] = seed.x;
        line.y.data()[0] = seed.y;
        return slots_after(line, 1);
    }
    PointSlots grow(std::size_t id, const double* x, const double*) {
        LineCoordinates& line = half(id);
        const auto used = static_cast<std::size_t>(x - line.x.data());
        // The next piece made writable outside the kernel, the buffers
        // growing first if need be: lanes that cross into fresh memory
        // together would otherwise stall all at once, between two
        // checkpoints.
        try {
            line.x.extend(longest_, checkpoint_);
            line.y.extend(longest_, checkpoint_);
        } catch (const AllocationFailure& failure) {
            throw for_line(failure, line.x.capacity());
        }
        checkpoint_();
        return slots_after(line, used);
    }
    void end(std::size_t id, const double* x, const double*, bool closed) {
        LineCoordinates& line = half(id);
        line.size = static_cast<std::size_t>(x - line.x.data());
        const std::size_t n = id / 2;
        if (id % 2 == 0) {
            if (close_on_loop_ && closed && line.size > 2) return finish(n);
            if (!close_on_loop_) {
                reverse_values(line.x.data(), line.size, checkpoint_);
                reverse_values(line.y.data(), line.size, checkpoint_);
            }
            second_halves_.push_back(n);
            return;
        }
        if (close_on_loop_) join(n);
        finish(n);
    }

    // The lines of at least two points, in footpoint order.
    JoinedLineList take() {
        JoinedLineList ordered;
        in_pieces(footpoints_.size(), checkpoint_, [&](std::size_t first, std::size_t count) {
            for (std::size_t n = first; n < first + count; ++n) {
                if (finished_at_[n] != no_line) ordered.push_back(std::move(finished_[finished_at_[n]]));
            }
        });
        return ordered;
    }

private:
    // Room a line starts with: most lines fit in it, and it costs little
    // while in the lanes, since a finished line gives back what it did not use.
    static constexpr std::size_t initial_capacity = 4096;
    static constexpr std::size_t no_line = static_cast<std::size_t>(-1);

    // Where a half's points go: the line's own buffers, but for the
    // backward half of a line that may close, which goes apart.
    LineCoordinates& half(std::size_t id) {
        if (close_on_loop_ && id % 2 == 1) return apart_[id / 2];
        return open_[id / 2];
    }
    static AllocationFailure for_line(const AllocationFailure& failure, std::size_t points) {
        return failure.for_purpose("a line of " + std::to_string(points) + " points");
    }
    static void reserve(LineCoordinates& line, std::size_t capacity) {
        try {
            line.x.reserve(capacity);
            line.y.reserve(capacity);
        } catch (const AllocationFailure& failure) {
            throw for_line(failure, capacity);
        }
    }
    // After `used` points, up to the writable ones, less the slot kept for
    // the closing seed.
    static PointSlots slots_after(LineCoordinates& line, std::size_t used) {
        if (line.x.capacity() < used + 1) reserve(line, used + 1);
        const std::size_t ready = std::min(line.x.writable(), line.y.writable());
        return {line.x.data() + used, line.y.data() + used, ready > used ? ready - used - 1 : 0};
    }

    // The forward half and the backward half apart become the backward
    // half reversed, then the forward half after the footpoint. The longer
    // half stays where it is.
    void join(std::size_t n) {
        LineCoordinates& ahead = open_[n];
        const auto found = apart_.find(n);
        LineCoordinates behind = std::move(found->second);
        apart_.erase(found);
        const std::size_t before = behind.size, after = ahead.size;
        const std::size_t total = before + after - 1;
        if (after >= before) {
            reserve(ahead, total);
            for (const auto& [to, from] :
                 {std::pair{&ahead.x, &behind.x}, std::pair{&ahead.y, &behind.y}}) {
                move_values(to->data() + 1, to->data() + before, after - 1, checkpoint_);
                copy_reversed(from->data(), to->data(), before, checkpoint_);
            }
            ahead.size = total;
            return;
        }
        reserve(behind, total);
        for (const auto& [to, from] :
             {std::pair{&behind.x, &ahead.x}, std::pair{&behind.y, &ahead.y}}) {
            reverse_values(to->data(), before, checkpoint_);
            move_values(from->data() + 1, to->data() + before, after - 1, checkpoint_);
        }
        behind.size = total;
        ahead = std::move(behind);
    }

    // The line of footpoint n is done: kept, without its unused room, when
    // it has at least two points.
    void finish(std::size_t n) {
        const auto found = open_.find(n);
        LineCoordinates line = std::move(found->second);
        open_.erase(found);
        if (line.size <= 1) return;
        for (DoubleBuffer* values : {&line.x, &line.y}) {
            values->resize(line.size);
            values->shrink_to_fit();
        }
        finished_at_[n] = finished_.size();
        finished_.push_back(std::move(line));
    }

    std::span<const Point> footpoints_;
    double step_;
    bool close_on_loop_;
    const Checkpoint& checkpoint_;
    u64 longest_;
    std::size_t next_footpoint_ = 0;
    std::vector<std::size_t> second_halves_;
    // Lines in the lanes, and backward halves set apart, by footpoint.
    std::unordered_map<std::size_t, LineCoordinates> open_;
    std::unordered_map<std::size_t, LineCoordinates> apart_;
    // Lines in the order they finished, and where each footpoint's went.
    JoinedLineList finished_;
    Buffer<std::size_t> finished_at_;
};

}  // namespace

JoinedLineList trace_joined_lines(const VectorGrid2D& grid,
                                                std::span<const Point> footpoints, double step,
                                                u64 max_steps, bool close_on_loop,
                                                const ClosureTest& closure,
                                                const Checkpoint& checkpoint) {
    // Every line has room for the seed, every step and the seed once more
    // on closure, a count that must not overflow.
    if (!footpoints.empty()) checked_add(max_steps, 2);
    JoinedLines lines(footpoints, step, max_steps, close_on_loop, checkpoint);
    trace_in_lanes(grid, closure, max_steps, lines, checkpoint);
    return lines.take();
}

}  // namespace torvelin
