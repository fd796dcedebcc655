// Every lane kernel this CPU can run must give, for every line, exactly the
// points of the line traced on its own by the oracle (scalar_tracer.hpp).
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "drivers/drivers.hpp"
#include "lanes/scheduler.hpp"
#include "scalar_tracer.hpp"

using namespace torvelin;

namespace {

struct Options {
    double step;
    bool close_on_loop;
    ClosureTest closure;
};

struct Case {
    VectorGrid2D reference;  // stored with x fastest
    VectorGrid2D grid;       // the same field, stored in a random layout
    std::vector<Point> seeds;
    Options options;
    u64 max_steps;
};

// Every seed traced with the same options; growable paths.
struct CollectingLines {
    static constexpr std::ptrdiff_t point_stride = 2;

    const std::vector<Point>& seeds;
    double step;
    bool close_on_loop;
    std::vector<std::vector<double>>& lines;
    std::vector<bool>& closed;
    std::size_t next_seed = 0;

    bool next(LineStart& line) {
        if (next_seed == seeds.size()) return false;
        line = {next_seed, seeds[next_seed], step, close_on_loop};
        ++next_seed;
        return true;
    }
    void outside(std::size_t) {}
    PointSlots begin(std::size_t n, Point seed) {
        lines[n].assign(8, 0.0);
        lines[n][0] = seed.x;
        lines[n][1] = seed.y;
        return {lines[n].data() + 2, lines[n].data() + 3, 2};  // seed, 2 steps, 1 spare
    }
    PointSlots grow(std::size_t n, double* x, double*) {
        const auto used = static_cast<std::size_t>(x - lines[n].data());
        lines[n].resize(2 * lines[n].size());
        return {lines[n].data() + used, lines[n].data() + used + 1,
                (lines[n].size() - used) / 2 - 1};
    }
    void end(std::size_t n, double* x, double*, bool is_closed) {
        lines[n].resize(static_cast<std::size_t>(x - lines[n].data()));
        closed[n] = is_closed;
    }
};

double pick(std::mt19937_64& rng, std::initializer_list<double> specials, double low,
            double high) {
    std::uniform_int_distribution<int> coin(0, 9);
    if (coin(rng) == 0) {
        std::uniform_int_distribution<std::size_t> which(0, specials.size() - 1);
        return specials.begin()[which(rng)];
    }
    return std::uniform_real_distribution<double>(low, high)(rng);
}

// The field (bx, by), given with x fastest, stored in `order`, interleaved
// or as two separate components.
FieldStorage stored_as(GridOrder order, bool interleaved, u64 nx, u64 ny,
                       const std::vector<double>& bx, const std::vector<double>& by) {
    DoubleBuffer both(2 * nx * ny), bx_stored(nx * ny), by_stored(nx * ny);
    for (u64 j = 0; j < ny; ++j) {
        for (u64 i = 0; i < nx; ++i) {
            const u64 at = order == GridOrder::x_fastest ? j * nx + i : i * ny + j;
            both[2 * at] = bx_stored[at] = bx[j * nx + i];
            both[2 * at + 1] = by_stored[at] = by[j * nx + i];
        }
    }
    return interleaved ? FieldStorage::interleaved(std::move(both), order)
                       : FieldStorage::separate(ComponentValues::owned(std::move(bx_stored)),
                                                ComponentValues::owned(std::move(by_stored)),
                                                order);
}

Case random_case(std::mt19937_64& rng) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    // A third of the cases are clean rotations whose lines come back to their
    // seeds, so that closure, with its time condition, is taken often.
    const bool loops = std::uniform_int_distribution<int>(0, 2)(rng) == 0;
    std::uniform_int_distribution<u64> size(loops ? 8 : 2, 24);
    const u64 nx = size(rng), ny = size(rng);
    double x_min = pick(rng, {0.0, -0.0}, -2.0, 0.0);
    double y_min = pick(rng, {0.0, -0.0}, -2.0, 0.0);
    double x_max = pick(rng, {x_min, x_min - 1.0}, x_min + 0.1, x_min + 3.0);
    double y_max = pick(rng, {y_min}, y_min + 0.1, y_min + 3.0);
    if (loops) {
        x_min = y_min = -1.5;
        x_max = y_max = 1.5;
    }
    std::vector<double> bx(nx * ny), by(nx * ny);
    std::normal_distribution<double> field(0.0, 1.0);
    const double noise = loops ? 0.0 : 0.3;
    const double swirl = std::uniform_real_distribution<double>(loops ? 1.0 : 0.0, 2.0)(rng);
    for (u64 j = 0; j < ny; ++j) {
        for (u64 i = 0; i < nx; ++i) {
            const double x = x_min + (x_max - x_min) * static_cast<double>(i) /
                                         static_cast<double>(nx - 1);
            const double y = y_min + (y_max - y_min) * static_cast<double>(j) /
                                         static_cast<double>(ny - 1);
            bx[j * nx + i] = -swirl * y + noise * field(rng);
            by[j * nx + i] = swirl * x + noise * field(rng);
        }
    }
    if (!loops && std::uniform_int_distribution<int>(0, 4)(rng) == 0) bx[0] = nan;
    if (!loops && std::uniform_int_distribution<int>(0, 4)(rng) == 0) by[nx * ny - 1] = inf;
    std::vector<Point> seeds(std::uniform_int_distribution<std::size_t>(0, 40)(rng));
    for (Point& seed : seeds) {
        seed.x = pick(rng, {x_min, x_max, nan, -0.0}, x_min - 0.3, x_max + 0.3);
        seed.y = pick(rng, {y_min, y_max, nan}, y_min - 0.3, y_max + 0.3);
        if (loops) {
            seed.x = std::uniform_real_distribution<double>(-1.0, 1.0)(rng);
            seed.y = std::uniform_real_distribution<double>(-1.0, 1.0)(rng);
        }
    }
    Options options{.step = pick(rng, {0.0, -0.0, 1e-300}, -0.2, 0.2),
                    .close_on_loop = std::uniform_int_distribution<int>(0, 1)(rng) == 1,
                    .closure = {.close_tol = pick(rng, {0.0, nan, inf}, 0.0, 0.2),
                                .min_time_before_close = pick(rng, {-1.0, 0.0, nan}, 0.0, 1.0)}};
    u64 max_steps = std::uniform_int_distribution<u64>(0, 300)(rng);
    if (loops) {
        const double period = 2.0 * 3.141592653589793 / swirl;
        options = Options{
            .step = std::uniform_real_distribution<double>(0.02, 0.1)(rng) *
                    (std::uniform_int_distribution<int>(0, 1)(rng) == 0 ? -1.0 : 1.0),
            .close_on_loop = true,
            .closure = {.close_tol = std::uniform_real_distribution<double>(0.005, 0.1)(rng),
                        .min_time_before_close =
                            std::uniform_real_distribution<double>(0.0, 1.5 * period)(rng)}};
        max_steps = std::uniform_int_distribution<u64>(0, 1000)(rng);
    }
    // The same field in a random order, interleaved or as two separate components.
    const GridOrder order = std::uniform_int_distribution<int>(0, 1)(rng) == 0
                                ? GridOrder::x_fastest
                                : GridOrder::y_fastest;
    const bool interleaved = std::uniform_int_distribution<int>(0, 1)(rng) == 0;
    return Case{VectorGrid2D(x_min, x_max, y_min, y_max, nx, ny, bx, by),
                VectorGrid2D(x_min, x_max, y_min, y_max, nx, ny,
                             stored_as(order, interleaved, nx, ny, bx, by)),
                std::move(seeds), options, max_steps};
}

// Equal bits; for NaN, any NaN. Where two different NaNs meet in one
// operation, the hardware returns one of them, and which one depends on how
// the compiler ordered the operands, so NaN signs and payloads may differ.
bool same_bits(double a, double b) {
    if (std::isnan(a) && std::isnan(b)) return true;
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// The line find_fieldlines makes of a footpoint, from the scalar tracer.
std::vector<Point> joined_alone(const VectorGrid2D& grid, Point seed, const Options& options,
                                u64 max_steps) {
    const oracle::Trace ahead = oracle::trace(
        grid, seed, options.step, max_steps, options.close_on_loop, options.closure.close_tol,
        options.closure.min_time_before_close);
    if (ahead.closed && ahead.path.size() > 2) return ahead.path;
    const oracle::Trace behind =
        oracle::trace(grid, seed, -options.step, max_steps, false,
                               options.closure.close_tol, options.closure.min_time_before_close);
    std::vector<Point> line(behind.path.rbegin(), behind.path.rend());
    if (!ahead.path.empty()) line.insert(line.end(), ahead.path.begin() + 1, ahead.path.end());
    if (line.size() <= 1) line.clear();
    return line;
}

bool same_line(const std::vector<Point>& expected, const LineCoordinates& line) {
    bool same = expected.size() == line.size;
    for (std::size_t k = 0; same && k < expected.size(); ++k) {
        same = same_bits(expected[k].x, line.x.data()[k]) &&
               same_bits(expected[k].y, line.y.data()[k]);
    }
    return same;
}

bool same_path(const oracle::Trace& expected, const std::vector<double>& xy, bool closed) {
    bool same = expected.closed == closed && 2 * expected.path.size() == xy.size();
    for (std::size_t k = 0; same && k < expected.path.size(); ++k) {
        same = same_bits(expected.path[k].x, xy[2 * k]) &&
               same_bits(expected.path[k].y, xy[2 * k + 1]);
    }
    return same;
}

// Stored bits: a fixed set of cases whose lines must have, on every
// architecture and with every kernel, the bits they had on x86-64 with the
// scalar tracer. The cases are made from the generator's raw output with
// +, -, * and / alone: library functions such as sin or the normal
// distribution's log may differ in the last bit from one C library (or CPU
// feature set) to another.

// In [low, high), from the generator's raw bits.
double uniform(std::mt19937_64& rng, double low, double high) {
    return low + (high - low) * (static_cast<double>(rng() >> 11) * 0x1p-53);
}

constexpr int stored_scenarios = 6;
constexpr int stored_case_count = 4 * stored_scenarios;  // each in the four layouts

const char* const stored_scenario_names[stored_scenarios] = {
    "rotation, lines that close",
    "rough field with NaN and infinity, no closure",
    "rough field, closure with NaN, infinite or negative limits",
    "steps of 1e-300 (subnormal products) on one cell",
    "huge field values (overflow) and steps of zero",
    "x_min = x_max (NaN components)",
};

Case stored_case(int k) {
    std::mt19937_64 rng(0x70e1u + static_cast<u64>(k));
    const int scenario = k / 4;
    const GridOrder order = k % 2 == 0 ? GridOrder::x_fastest : GridOrder::y_fastest;
    const bool interleaved = k / 2 % 2 == 0;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    u64 nx = 2 + rng() % 23, ny = 2 + rng() % 23;
    double x_min = uniform(rng, -2.0, 0.0), y_min = uniform(rng, -2.0, 0.0);
    double x_max = x_min + uniform(rng, 0.1, 3.0), y_max = y_min + uniform(rng, 0.1, 3.0);
    double swirl = uniform(rng, 0.5, 2.0), noise = 0.3, scale = 1.0;
    Options options{.step = uniform(rng, -0.2, 0.2),
                    .close_on_loop = false,
                    .closure = {.close_tol = uniform(rng, 0.0, 0.2),
                                .min_time_before_close = uniform(rng, 0.0, 1.0)}};
    u64 max_steps = 300;
    switch (scenario) {
        case 0:
            nx = 8 + rng() % 33;
            ny = 8 + rng() % 33;
            x_min = y_min = -1.5;
            x_max = y_max = 1.5;
            noise = 0.0;
            options.step = uniform(rng, 0.02, 0.1) * (k % 3 == 0 ? -1.0 : 1.0);
            options.close_on_loop = true;
            options.closure = {.close_tol = uniform(rng, 0.005, 0.1),
                               .min_time_before_close =
                                   uniform(rng, 0.0, 1.5) * 6.283185307179586 / swirl};
            max_steps = 1000;
            break;
        case 2:
            options.close_on_loop = true;
            options.closure = {.close_tol = k % 2 == 0 ? nan : inf,
                               .min_time_before_close = k / 2 % 2 == 0 ? nan : -1.0};
            break;
        case 3:  // points on an axis move by subnormal amounts
            nx = ny = 2;
            x_min = y_min = -1.0;
            x_max = y_max = 1.0;
            scale = 1e-10;
            options.step = k % 2 == 0 ? 1e-300 : -1e-300;
            max_steps = 50;
            break;
        case 4:
            scale = 1e300;
            options.step = k % 2 == 0 ? 0.0 : -0.0;
            if (k % 4 >= 2) options.step = 0.3;
            max_steps = 20;
            break;
        case 5:
            x_max = x_min;
            break;
    }
    std::vector<double> bx(nx * ny), by(nx * ny);
    for (u64 j = 0; j < ny; ++j) {
        for (u64 i = 0; i < nx; ++i) {
            const double x = x_min + (x_max - x_min) * static_cast<double>(i) /
                                         static_cast<double>(nx - 1);
            const double y = y_min + (y_max - y_min) * static_cast<double>(j) /
                                         static_cast<double>(ny - 1);
            bx[j * nx + i] = scale * (-swirl * y + noise * uniform(rng, -1.0, 1.0));
            by[j * nx + i] = scale * (swirl * x + noise * uniform(rng, -1.0, 1.0));
        }
    }
    if (scenario == 1 || scenario == 2) {
        bx[rng() % (nx * ny)] = nan;
        by[rng() % (nx * ny)] = inf;
    }
    std::vector<Point> seeds(1 + rng() % 40);
    for (std::size_t n = 0; n < seeds.size(); ++n) {
        Point& seed = seeds[n];
        seed = {uniform(rng, x_min - 0.2, x_max + 0.2), uniform(rng, y_min - 0.2, y_max + 0.2)};
        if (scenario == 0) seed = {uniform(rng, -1.0, 1.0), uniform(rng, -1.0, 1.0)};
        if (scenario == 3) {
            seed = {n % 2 == 0 ? 0.0 : uniform(rng, -1.0, 1.0), uniform(rng, -1.0, 1.0)};
        }
        if (scenario == 5) seed.x = x_min;
        switch (n % 8) {  // the edges, a NaN coordinate and -0
            case 1: seed.x = x_max; break;
            case 2: seed.y = y_min; break;
            case 3: if (scenario != 5) seed.x = nan; break;
            case 4: seed.y = -0.0; break;
            default: break;
        }
    }
    return Case{VectorGrid2D(x_min, x_max, y_min, y_max, nx, ny, bx, by),
                VectorGrid2D(x_min, x_max, y_min, y_max, nx, ny,
                             stored_as(order, interleaved, nx, ny, bx, by)),
                std::move(seeds), options, max_steps};
}

// FNV-1a over the lines of a case: each line's point count, whether it
// closed, and every coordinate's bits, NaN counted as one value (which NaN
// an operation returns may differ, see same_bits).
struct LinesHash {
    u64 hash = 0xcbf29ce484222325u;
    u64 points = 0;

    void add(u64 word) {
        for (int shift = 0; shift < 64; shift += 8) {
            hash ^= (word >> shift) & 0xffu;
            hash *= 0x100000001b3u;
        }
    }
    void add(double value) {
        u64 bits = 0x7ff8000000000000u;
        if (!std::isnan(value)) std::memcpy(&bits, &value, sizeof bits);
        add(bits);
    }
    void add_line(const std::vector<double>& xy, bool closed) {
        points += xy.size() / 2;
        add(static_cast<u64>(xy.size() / 2));
        add(static_cast<u64>(closed));
        for (const double value : xy) add(value);
    }
};

struct StoredBits {
    u64 hash;
    u64 points;
};

// Written on x86-64 by the native test build (-DTORVELIN_NATIVE_TESTS=ON):
//   <build>/lane_kernels_test --print-stored-bits > tests/native/stored_bits.inc
// and written anew only for a change that is meant to change the bits.
constexpr StoredBits stored_bits[] = {
#include "stored_bits.inc"
};

LinesHash scalar_hash(const Case& c) {
    LinesHash hash;
    for (const Point& seed : c.seeds) {
        const oracle::Trace alone = oracle::trace(
            c.reference, seed, c.options.step, c.max_steps, c.options.close_on_loop,
            c.options.closure.close_tol, c.options.closure.min_time_before_close);
        std::vector<double> xy;
        for (const Point& p : alone.path) {
            xy.push_back(p.x);
            xy.push_back(p.y);
        }
        hash.add_line(xy, alone.closed);
    }
    return hash;
}

LinesHash kernel_hash(const Case& c, LaneKernel kernel) {
    std::vector<std::vector<double>> lines(c.seeds.size());
    std::vector<bool> closed(c.seeds.size(), false);
    CollectingLines collecting{c.seeds, c.options.step, c.options.close_on_loop, lines, closed};
    trace_in_lanes(c.grid, c.options.closure, c.max_steps, collecting, Checkpoint{}, kernel);
    LinesHash hash;
    for (std::size_t n = 0; n < c.seeds.size(); ++n) hash.add_line(lines[n], closed[n]);
    return hash;
}

void print_stored_bits() {
    std::printf("// The lines of the stored cases (stored_case in lane_kernels_test.cpp):\n"
                "// {FNV-1a hash of their bits, points}, from the scalar tracer on x86-64.\n"
                "// Written by\n"
                "//   lane_kernels_test --print-stored-bits > tests/native/stored_bits.inc\n");
    for (int k = 0; k < stored_case_count; ++k) {
        const LinesHash hash = scalar_hash(stored_case(k));
        std::printf("{0x%016llxu, %llu},  // %d: %s\n", static_cast<unsigned long long>(hash.hash),
                    static_cast<unsigned long long>(hash.points), k,
                    stored_scenario_names[k / 4]);
    }
}

// The mismatches of the stored cases, with the scalar tracer and each kernel.
int check_stored_bits(const std::vector<NamedLaneKernel>& kernels) {
    if (std::size(stored_bits) != stored_case_count) {
        std::printf("stored_bits.inc holds %zu cases, not %d\n", std::size(stored_bits),
                    stored_case_count);
        return 1;
    }
    int failures = 0;
    for (int k = 0; k < stored_case_count; ++k) {
        const Case c = stored_case(k);
        auto check = [&](const char* name, const LinesHash& got) {
            if (got.hash == stored_bits[k].hash && got.points == stored_bits[k].points) return;
            if (++failures <= 5) {
                std::printf("STORED BITS differ: case %d (%s), %s: %016llx, %llu points; "
                            "stored %016llx, %llu points\n",
                            k, stored_scenario_names[k / 4], name,
                            static_cast<unsigned long long>(got.hash),
                            static_cast<unsigned long long>(got.points),
                            static_cast<unsigned long long>(stored_bits[k].hash),
                            static_cast<unsigned long long>(stored_bits[k].points));
            }
        };
        check("scalar tracer", scalar_hash(c));
        for (const NamedLaneKernel& kernel : kernels) {
            check(kernel.name, kernel_hash(c, kernel.kernel));
        }
    }
    std::printf("%d stored cases, by the scalar tracer and every kernel: %d differ from their "
                "x86-64 bits\n", stored_case_count, failures);
    return failures;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--print-stored-bits") == 0) {
        print_stored_bits();
        return 0;
    }
    int failures = 0, checked = 0, closed_lines = 0;
    const std::vector<NamedLaneKernel> kernels = runnable_lane_kernels();
    failures += check_stored_bits(kernels);
    std::mt19937_64 rng(20261207);
    for (int round = 0; round < 3000; ++round) {
        const Case c = random_case(rng);
        std::vector<oracle::Trace> expected;
        for (const Point& seed : c.seeds) {
            expected.push_back(oracle::trace(
                c.reference, seed, c.options.step, c.max_steps, c.options.close_on_loop,
                c.options.closure.close_tol, c.options.closure.min_time_before_close));
            // The scalar tracer on the grid in its own storage order.
            const oracle::Trace alone = oracle::trace(
                c.grid, seed, c.options.step, c.max_steps, c.options.close_on_loop,
                c.options.closure.close_tol, c.options.closure.min_time_before_close);
            std::vector<double> xy;
            for (const Point& p : alone.path) {
                xy.push_back(p.x);
                xy.push_back(p.y);
            }
            ++checked;
            closed_lines += alone.closed ? 1 : 0;
            if (!same_path(expected.back(), xy, alone.closed) && ++failures <= 5) {
                std::printf("MISMATCH scalar tracer, round %d\n", round);
            }
        }
        for (const NamedLaneKernel& kernel : kernels) {
            std::vector<std::vector<double>> lines(c.seeds.size());
            std::vector<bool> closed(c.seeds.size(), false);
            CollectingLines collecting{c.seeds, c.options.step, c.options.close_on_loop, lines,
                                       closed};
            trace_in_lanes(c.grid, c.options.closure, c.max_steps, collecting, Checkpoint{},
                           kernel.kernel);
            for (std::size_t n = 0; n < c.seeds.size(); ++n) {
                ++checked;
                if (!same_path(expected[n], lines[n], closed[n]) && ++failures <= 5) {
                    std::printf("MISMATCH kernel %s round %d seed %zu: %zu vs %zu points\n",
                                kernel.name, round, n, expected[n].path.size(),
                                lines[n].size() / 2);
                }
            }
        }
    }
    // Joined lines whose buffers grow, a few long enough to be remapped.
    for (int round = 0; round < 300; ++round) {
        Case c = random_case(rng);
        c.max_steps *= 5;
        if (round % 100 == 0) {
            while (c.seeds.size() < 2 || c.reference.geometry().x_min != -1.5) c = random_case(rng);
            c.seeds.resize(2);
            c.options.close_on_loop = round == 0;
            c.options.closure.close_tol = 0.0;
            c.max_steps = 300000;
        }
        const JoinedLineList joined =
            trace_joined_lines(c.grid, c.seeds, c.options.step, c.max_steps,
                               c.options.close_on_loop, c.options.closure);
        // Only lines of at least two points are kept, in footpoint order.
        std::size_t kept = 0;
        for (std::size_t n = 0; n < c.seeds.size(); ++n) {
            const std::vector<Point> expected =
                joined_alone(c.reference, c.seeds[n], c.options, c.max_steps);
            if (expected.empty()) continue;
            ++checked;
            if ((kept >= joined.size() || !same_line(expected, joined[kept])) && ++failures <= 5) {
                std::printf("MISMATCH joined line, round %d seed %zu\n", round, n);
            }
            ++kept;
        }
        if (kept != joined.size() && ++failures <= 5) {
            std::printf("MISMATCH joined lines, round %d: %zu kept, %zu expected\n", round,
                        joined.size(), kept);
        }
    }
    // A grid big enough for the kernels to prefetch, in each layout.
    {
        const u64 nx = 2048, ny = 1024;
        DoubleBuffer bx(nx * ny), by(nx * ny);
        for (u64 j = 0; j < ny; ++j) {
            for (u64 i = 0; i < nx; ++i) {
                const double x = -1.0 + 2.0 * static_cast<double>(i) / static_cast<double>(nx - 1);
                const double y = -1.0 + 2.0 * static_cast<double>(j) / static_cast<double>(ny - 1);
                bx[j * nx + i] = -y + 0.01 * std::sin(37.0 * x);
                by[j * nx + i] = x + 0.01 * std::cos(23.0 * y);
            }
        }
        const VectorGrid2D reference(-1.0, 1.0, -1.0, 1.0, nx, ny, bx.values(), by.values());
        const VectorGrid2D borrowed(
            -1.0, 1.0, -1.0, 1.0, nx, ny,
            FieldStorage::separate(ComponentValues::borrowed(bx.values()),
                                   ComponentValues::borrowed(by.values()), GridOrder::x_fastest));
        std::vector<Point> seeds;
        for (int k = 0; k < 40; ++k) seeds.push_back({0.05 + 0.02 * k, 0.01 * k - 0.2});
        for (const VectorGrid2D* grid : {&reference, &borrowed}) {
            for (const NamedLaneKernel& kernel : kernels) {
                std::vector<std::vector<double>> lines(seeds.size());
                std::vector<bool> closed(seeds.size(), false);
                CollectingLines collecting{seeds, 0.002, false, lines, closed};
                trace_in_lanes(*grid, ClosureTest{}, 3000, collecting, Checkpoint{}, kernel.kernel);
                for (std::size_t n = 0; n < seeds.size(); ++n) {
                    ++checked;
                    const oracle::Trace alone =
                        oracle::trace(reference, seeds[n], 0.002, 3000, false, 0.0, 0.0);
                    if (!same_path(alone, lines[n], closed[n]) && ++failures <= 5) {
                        std::printf("MISMATCH on the big grid, kernel %s seed %zu\n", kernel.name, n);
                    }
                }
            }
        }
    }

    // Lines long enough for the work to be cut at checkpoints, which must
    // come at bounded intervals and change no point.
    for (const NamedLaneKernel& kernel : kernels) {
        // A clean rotation, whose lines stay inside, without closure.
        Case c = random_case(rng);
        while (c.seeds.size() < 3 || c.reference.geometry().x_min != -1.5) c = random_case(rng);
        c.options.close_on_loop = false;
        c.max_steps = 3 * Checkpoint::block_steps;
        std::vector<std::vector<double>> lines(c.seeds.size());
        std::vector<bool> closed(c.seeds.size(), false);
        CollectingLines collecting{c.seeds, c.options.step, c.options.close_on_loop, lines, closed};
        int calls = 0;
        const Checkpoint counting([](void* count) { ++*static_cast<int*>(count); }, &calls);
        trace_in_lanes(c.grid, c.options.closure, c.max_steps, collecting, counting,
                       kernel.kernel);
        u64 longest = 0;
        for (std::size_t n = 0; n < c.seeds.size(); ++n) {
            const oracle::Trace alone = oracle::trace(
                c.reference, c.seeds[n], c.options.step, c.max_steps, c.options.close_on_loop,
                c.options.closure.close_tol, c.options.closure.min_time_before_close);
            longest = std::max<u64>(longest, alone.path.size());
            ++checked;
            if (!same_path(alone, lines[n], closed[n]) && ++failures <= 5) {
                std::printf("MISMATCH with checkpoints, kernel %s seed %zu\n", kernel.name, n);
            }
        }
        // At least once every block_steps steps of the longest line.
        if ((longest <= c.max_steps || static_cast<u64>(calls) < 3) && ++failures <= 5) {
            std::printf("kernel %s: %d checkpoints for a line of %llu points\n", kernel.name, calls,
                        static_cast<unsigned long long>(longest));
        }
    }
    std::printf("lane kernels checked:");
    for (const NamedLaneKernel& kernel : kernels) std::printf(" %s", kernel.name);
    std::printf("\n%d lines compared, %d mismatched; %d of them closed\n", checked, failures,
                closed_lines);
    // The closure paths are only exercised if lines do close.
    return failures == 0 && closed_lines > 1000 ? 0 : 1;
}
