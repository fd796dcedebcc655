#include "drivers.hpp"

#include "../lanes/scheduler.hpp"
#include "../support/fault.hpp"

namespace torvelin {

namespace {

// Rows of fixed length: a line can never outgrow its row. Each slot is
// written once, by a point or by padding, so the rows need no filling first.
struct RowLines {
    static constexpr std::ptrdiff_t point_stride = 2;

    std::span<const Point> seeds;
    double step;
    DoubleBuffer& buffer;
    u64 row_length;
    u64 max_steps;
    const Checkpoint& checkpoint;
    std::size_t next_seed = 0;
    std::size_t next_row = 0;  // rows before it are written or being traced

    double* row(std::size_t n) const noexcept { return buffer.data() + n * row_length; }

    // Rows of seeds outside the grid, which get no call, up to row `n`.
    void pad_rows_before(std::size_t n) {
        fill_nan(row(next_row), row(n), checkpoint);
        next_row = n;
    }
    bool next(LineStart& line) noexcept {
        if (next_seed == seeds.size()) return false;
        line = {next_seed, seeds[next_seed], step, false};
        ++next_seed;
        return true;
    }
    void outside(std::size_t) const noexcept {}
    PointSlots begin(std::size_t n, Point seed) {
        pad_rows_before(n);
        next_row = n + 1;
        // Made writable before the lanes write it: they cross into fresh
        // memory together.
        buffer.make_writable((n + 1) * row_length, checkpoint);
        double* start = row(n);
        start[0] = seed.x;
        start[1] = seed.y;
        return {start + 2, start + 3, max_steps};
    }
    PointSlots grow(std::size_t, double*, double*) const {
        throw InternalFault("a row overflowed");
    }
    void end(std::size_t n, double* x, double*, bool) const { fill_nan(x, row(n + 1), checkpoint); }
};

}  // namespace

void trace_rows(const VectorGrid2D& grid, std::span<const Point> seeds, double step,
                u64 max_steps, DoubleBuffer& buffer, const Checkpoint& checkpoint) {
    const u64 row_length = checked_mul(2, checked_add(max_steps, 1));
    if (buffer.size() < checked_mul(row_length, seeds.size())) {
        throw InternalFault("the rows do not fit their buffer");
    }
    RowLines lines{seeds, step, buffer, row_length, max_steps, checkpoint};
    trace_in_lanes(grid, ClosureTest{}, max_steps, lines, checkpoint);
    lines.pad_rows_before(seeds.size());
}

}  // namespace torvelin
