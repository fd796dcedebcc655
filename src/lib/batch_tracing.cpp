#include "batch_tracing.hpp"

#include <algorithm>
#include <limits>
#include <unordered_map>

#include "lane_scheduler.hpp"
#include "path_chunks.hpp"
#include "trace_until_close.hpp"

namespace torvelin {

namespace {

void pad_with_nan(double* from, double* to) {
    std::fill(from, to, std::numeric_limits<double>::quiet_NaN());
}

// Rows of fixed length: a line can never outgrow its row. Each slot is
// written once, by a point or by padding, so the rows need no filling first.
struct RowLines {
    std::span<const Point> seeds;
    double step;
    double* rows;
    u64 row_length;
    u64 max_steps;
    std::size_t next_seed = 0;
    std::size_t next_row = 0;  // rows before it are written or being traced

    double* row(std::size_t n) const noexcept { return rows + n * row_length; }

    // Rows of seeds outside the grid, which get no call, up to row `n`.
    void pad_rows_before(std::size_t n) noexcept {
        pad_with_nan(row(next_row), row(n));
        next_row = n;
    }
    bool next(LineStart& line) noexcept {
        if (next_seed == seeds.size()) return false;
        line = {next_seed, seeds[next_seed], step, false};
        ++next_seed;
        return true;
    }
    void outside(std::size_t) const noexcept {}
    PointSlots begin(std::size_t n, Point seed) noexcept {
        pad_rows_before(n);
        next_row = n + 1;
        double* start = row(n);
        start[0] = seed.x;
        start[1] = seed.y;
        return {start + 2, max_steps};
    }
    PointSlots grow(std::size_t, double*) const { throw InternalFault("a row overflowed"); }
    void end(std::size_t n, double* out, bool) const noexcept { pad_with_nan(out, row(n + 1)); }
};

// The x and y coordinates of the points of `path` from `from` on, to
// x[to], y[to] and onwards, or backwards from there when `reversed`.
void copy_coordinates(const ChunkedPath& path, std::size_t from, LineCoordinates& line,
                      std::size_t to, bool reversed) {
    double* x = line.x.data();
    double* y = line.y.data();
    path.for_each_run(from, [&](std::size_t first, const double* xy, std::size_t count) {
        if (reversed) {
            const std::size_t last = to - (first - from);
            for (std::size_t k = 0; k < count; ++k) {
                x[last - k] = xy[2 * k];
                y[last - k] = xy[2 * k + 1];
            }
            return;
        }
        const std::size_t start = to + (first - from);
        for (std::size_t k = 0; k < count; ++k) {
            x[start + k] = xy[2 * k];
            y[start + k] = xy[2 * k + 1];
        }
    });
}

// Both halves of every footpoint's line, traced one after the other in the
// same lane, and joined as soon as the second ends: only the lines in the
// lanes are held in chunks, every finished line has its final coordinates.
class JoinedLines {
public:
    JoinedLines(std::span<const Point> footpoints, double step, bool close_on_loop)
        : footpoints_(footpoints), step_(step), close_on_loop_(close_on_loop),
          lines_(footpoints.size()) {}

    // A line's id is twice its footpoint's index, plus one for the backward half.
    bool next(LineStart& line) {
        if (!backward_.empty()) {
            const std::size_t n = backward_.back();
            backward_.pop_back();
            line = {2 * n + 1, footpoints_[n], -step_, false};
            return true;
        }
        if (next_footpoint_ == footpoints_.size()) return false;
        const std::size_t n = next_footpoint_++;
        line = {2 * n, footpoints_[n], step_, close_on_loop_};
        return true;
    }
    // The backward half starts where the forward one did, so it lies outside too.
    void outside(std::size_t) const noexcept {}
    PointSlots begin(std::size_t id, Point seed) {
        double* out = half(id).start(pool_);
        out[0] = seed.x;
        out[1] = seed.y;
        return {out + 2, ChunkedPath::chunk_points - 1};
    }
    PointSlots grow(std::size_t id, double*) {
        return {half(id).grow(pool_), ChunkedPath::chunk_points};
    }
    void end(std::size_t id, const double* out, bool closed) {
        ChunkedPath& path = half(id);
        path.finish(out);
        const std::size_t n = id / 2;
        if (id % 2 == 0) {
            if (closed && path.size() > 2) {
                emit(n, path.size(), [&](LineCoordinates& line) {
                    copy_coordinates(path, 0, line, 0, false);
                });
                release(n);
                return;
            }
            backward_.push_back(n);
            return;
        }
        ChunkedPath& ahead = forward(n);
        ChunkedPath& behind = path;
        const std::size_t count = behind.size() + (ahead.size() == 0 ? 0 : ahead.size() - 1);
        if (count > 1) {
            emit(n, count, [&](LineCoordinates& line) {
                copy_coordinates(behind, 0, line, behind.size() - 1, true);
                copy_coordinates(ahead, 1, line, behind.size(), false);
            });
        }
        release(n);
    }

    std::vector<LineCoordinates> take() { return std::move(lines_); }

private:
    // The halves of the lines in the lanes, by id.
    ChunkedPath& half(std::size_t id) { return halves_[id]; }
    ChunkedPath& forward(std::size_t n) { return halves_[2 * n]; }

    template <class Fill>
    void emit(std::size_t n, std::size_t count, Fill&& fill) {
        LineCoordinates& line = lines_[n];
        line.x = LargeVector(count);
        line.y = LargeVector(count);
        fill(line);
    }
    // Both halves of footpoint n's line, once its coordinates are out.
    void release(std::size_t n) {
        for (const std::size_t id : {2 * n, 2 * n + 1}) {
            const auto found = halves_.find(id);
            if (found == halves_.end()) continue;
            found->second.clear(pool_);
            halves_.erase(found);
        }
    }

    std::span<const Point> footpoints_;
    double step_;
    bool close_on_loop_;
    std::size_t next_footpoint_ = 0;
    std::vector<std::size_t> backward_;
    std::vector<LineCoordinates> lines_;
    ChunkPool pool_;
    std::unordered_map<std::size_t, ChunkedPath> halves_;
};

}  // namespace

void trace_rows(const VectorGrid2D& grid, std::span<const Point> seeds, double step,
                u64 max_steps, double* rows, const Checkpoint& checkpoint) {
    const u64 row_length = 2 * checked_add(max_steps, 1);
    if (!grid.can_trace_in_lanes()) {
        u64 since_checkpoint = 0;
        for (std::size_t n = 0; n < seeds.size(); ++n) {
            double* slot = rows + n * row_length;
            grid.follow(seeds[n], step, max_steps, [&](Point p) {
                slot[0] = p.x;
                slot[1] = p.y;
                slot += 2;
                if (++since_checkpoint == Checkpoint::scalar_steps) {
                    checkpoint();
                    since_checkpoint = 0;
                }
                return true;
            });
            pad_with_nan(slot, rows + (n + 1) * row_length);
        }
        return;
    }
    RowLines lines{seeds, step, rows, row_length, max_steps};
    trace_in_lanes(grid, ClosureTest{}, max_steps, lines, checkpoint);
    lines.pad_rows_before(seeds.size());
}

std::vector<LineCoordinates> trace_joined_lines(const VectorGrid2D& grid,
                                                std::span<const Point> footpoints, double step,
                                                u64 max_steps, bool close_on_loop,
                                                const ClosureTest& closure,
                                                const Checkpoint& checkpoint) {
    // Every line has room for the seed, every step and the seed once more
    // on closure, a count that must not overflow.
    if (!footpoints.empty()) checked_add(max_steps, 2);
    if (grid.can_trace_in_lanes()) {
        JoinedLines lines(footpoints, step, close_on_loop);
        trace_in_lanes(grid, closure, max_steps, lines, checkpoint);
        return lines.take();
    }
    std::vector<LineCoordinates> joined(footpoints.size());
    for (std::size_t n = 0; n < footpoints.size(); ++n) {
        const ClosableTrace ahead =
            trace_line_until_close(grid, footpoints[n], step, max_steps, close_on_loop,
                                   closure.close_tol, closure.min_time_before_close, checkpoint);
        std::vector<Point> points;
        if (ahead.closed && ahead.path.size() > 2) {
            points = ahead.path;
        } else {
            const ClosableTrace behind =
                trace_line_until_close(grid, footpoints[n], -step, max_steps, false,
                                       closure.close_tol, closure.min_time_before_close,
                                       checkpoint);
            points.assign(behind.path.rbegin(), behind.path.rend());
            if (!ahead.path.empty()) {
                points.insert(points.end(), ahead.path.begin() + 1, ahead.path.end());
            }
            if (points.size() <= 1) continue;
        }
        LineCoordinates& line = joined[n];
        line.x = LargeVector(points.size());
        line.y = LargeVector(points.size());
        for (std::size_t k = 0; k < points.size(); ++k) {
            line.x[k] = points[k].x;
            line.y[k] = points[k].y;
        }
    }
    return joined;
}

}  // namespace torvelin
