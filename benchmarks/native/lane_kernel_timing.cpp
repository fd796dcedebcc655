// Times every lane kernel this CPU runs on the scaling workload's rotation:
// B = (-y, x) on n x n points over [-1, 1]^2, 256 seeds on the x axis at
// r = 0.2 to 0.8, 2000 steps of about one grid cell (h = spacing / mean r).
//
//   lane_kernel_timing [--sizes N,N,...] [--repeats R] [--kernel NAME]
//                      [--layout auto|interleaved|separate]
//
// Prints, per grid size and kernel, the median and the fastest of R runs in
// ns per step of the thread's CPU time (on a shared machine, time spent
// waiting for the processor does not count) and the median in wall time;
// the CPU, the compiler, and whether every kernel wrote the same bits as the
// first. The field is stored as trace_fieldlines would
// store it (auto: interleaved where the copy pays, else the caller's two
// arrays), and the lines go into rows of max_steps + 1 points that are
// written before the first run, so no run pays for page faults.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "lanes/scheduler.hpp"

using namespace torvelin;

namespace {

constexpr std::size_t seed_count = 256;
constexpr u64 max_steps = 2000;

// Lines written into fixed rows, as trace_fieldlines writes them.
struct Rows {
    static constexpr std::ptrdiff_t point_stride = 2;

    const std::vector<Point>& seeds;
    double step;
    std::vector<double>& values;
    std::size_t next_seed = 0;
    u64 steps = 0;

    double* row(std::size_t n) { return values.data() + n * 2 * (max_steps + 1); }
    bool next(LineStart& line) {
        if (next_seed == seeds.size()) return false;
        line = {next_seed, seeds[next_seed], step, false};
        ++next_seed;
        return true;
    }
    void outside(std::size_t) {}
    PointSlots begin(std::size_t n, Point seed) {
        row(n)[0] = seed.x;
        row(n)[1] = seed.y;
        return {row(n) + 2, row(n) + 3, max_steps};
    }
    PointSlots grow(std::size_t, double*, double*) { std::abort(); }
    void end(std::size_t n, double* x, double*, bool) {
        steps += static_cast<u64>(x - row(n)) / 2 - 1;
        std::fill(x, row(n + 1), 0.0);
    }
};

// The model name, with the family and model numbers where /proc/cpuinfo
// gives them (some virtual machines name only the vendor and series).
std::string cpu_model() {
    std::ifstream info("/proc/cpuinfo");
    std::string line, model, family, number;
    while (std::getline(info, line)) {
        const auto colon = line.find(':');
        if (colon == std::string::npos) continue;
        std::string key = line.substr(0, colon);
        key.erase(key.find_last_not_of(" \t") + 1);
        const std::string value = line.substr(std::min(colon + 2, line.size()));
        std::string* field = key == "model name" ? &model
                             : key == "cpu family" ? &family
                             : key == "model"      ? &number
                                                   : nullptr;
        if (field != nullptr && field->empty()) *field = value;
    }
    if (model.empty()) model = "unknown";
    if (!family.empty()) model += " (family " + family + ", model " + number + ")";
    return model;
}

std::vector<int> parse_sizes(const char* text) {
    std::vector<int> sizes;
    for (const char* at = text; *at != '\0';) {
        char* end = nullptr;
        const long n = std::strtol(at, &end, 10);
        if (end == at || n < 16 || n > 65536) return {};
        sizes.push_back(static_cast<int>(n));
        at = *end == ',' ? end + 1 : end;
        if (*end != ',' && *end != '\0') return {};
    }
    return sizes;
}

#if defined(__clang__)
constexpr const char* compiler = "clang " __clang_version__;
#elif defined(__GNUC__)
constexpr const char* compiler = "GCC " __VERSION__;
#else
constexpr const char* compiler = __VERSION__;
#endif

double thread_seconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

int usage() {
    std::fprintf(stderr,
                 "usage: lane_kernel_timing [--sizes N,N,...] [--repeats R] [--kernel NAME]\n"
                 "                          [--layout auto|interleaved|separate]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<int> sizes = {256, 2048, 8192};
    int repeats = 5;
    std::string only, layout = "auto";
    for (int a = 1; a < argc; ++a) {
        const std::string arg = argv[a];
        if (a + 1 == argc) return usage();
        const char* value = argv[++a];
        if (arg == "--sizes") {
            sizes = parse_sizes(value);
            if (sizes.empty()) return usage();
        } else if (arg == "--repeats") {
            repeats = std::atoi(value);
            if (repeats < 1) return usage();
        } else if (arg == "--kernel") {
            only = value;
        } else if (arg == "--layout") {
            layout = value;
            if (layout != "auto" && layout != "interleaved" && layout != "separate") return usage();
        } else {
            return usage();
        }
    }
    std::vector<NamedLaneKernel> kernels;
    for (const NamedLaneKernel& kernel : runnable_lane_kernels()) {
        if (only.empty() || only == kernel.name) kernels.push_back(kernel);
    }
    if (kernels.empty()) {
        std::fprintf(stderr, "no runnable kernel is named %s\n", only.c_str());
        return 2;
    }
    std::printf("CPU: %s\ncompiler: %s\n", cpu_model().c_str(), compiler);
    std::printf("rotation, %zu seeds x %llu steps of about one cell; "
                "median and fastest of %d runs\n",
                seed_count, static_cast<unsigned long long>(max_steps), repeats);
    std::printf("%7s  %-11s %-10s %11s %11s %11s  %s\n", "", "", "", "CPU ns/step",
                "", "wall", "same bits");
    std::printf("%7s  %-11s %-10s %11s %11s %11s  %s\n", "grid", "layout", "kernel", "median",
                "best", "median", "as the first");

    std::vector<Point> seeds(seed_count);
    for (std::size_t s = 0; s < seed_count; ++s) {
        seeds[s] = {0.2 + static_cast<double>(s) * (0.6 / static_cast<double>(seed_count - 1)),
                    0.0};
    }
    std::vector<double> rows(seed_count * 2 * (max_steps + 1), 0.0);
    for (const int size : sizes) {
        const auto n = static_cast<u64>(size);
        const double spacing = 2.0 / static_cast<double>(n - 1);
        std::vector<double> coordinate(n);
        for (u64 i = 0; i < n; ++i) coordinate[i] = -1.0 + static_cast<double>(i) * spacing;
        coordinate[n - 1] = 1.0;
        const bool interleaved =
            layout == "interleaved" ||
            (layout == "auto" && prefer_interleaved_copy(n * n, seed_count * max_steps));
        DoubleBuffer bx(n * n), by(n * n);
        for (u64 j = 0; j < n; ++j) {
            for (u64 i = 0; i < n; ++i) {
                bx[j * n + i] = -coordinate[j];
                by[j * n + i] = coordinate[i];
            }
        }
        const VectorGrid2D grid =
            interleaved ? VectorGrid2D(-1.0, 1.0, -1.0, 1.0, n, n, interleaved_copy(bx, by))
                        : VectorGrid2D(-1.0, 1.0, -1.0, 1.0, n, n,
                                       FieldStorage::separate(ComponentValues::borrowed(bx),
                                                              ComponentValues::borrowed(by),
                                                              GridOrder::x_fastest));
        const double step = spacing / 0.5;  // the seeds' mean radius is 0.5
        std::vector<double> first_rows;
        for (const NamedLaneKernel& kernel : kernels) {
            std::vector<double> cpu_ns, wall_ns;
            for (int r = 0; r < repeats; ++r) {
                Rows lines{seeds, step, rows};
                const auto start = std::chrono::steady_clock::now();
                const double cpu_start = thread_seconds();
                trace_in_lanes(grid, ClosureTest{}, max_steps, lines, Checkpoint{}, kernel.kernel);
                const double cpu = thread_seconds() - cpu_start;
                const std::chrono::duration<double, std::nano> wall =
                    std::chrono::steady_clock::now() - start;
                const auto steps = static_cast<double>(lines.steps);
                cpu_ns.push_back(cpu * 1e9 / steps);
                wall_ns.push_back(wall.count() / steps);
            }
            const char* same = "-";
            if (first_rows.empty()) {
                first_rows = rows;
            } else {
                const std::size_t bytes = rows.size() * sizeof(double);
                same = std::memcmp(first_rows.data(), rows.data(), bytes) == 0 ? "yes" : "NO";
            }
            std::printf("%5d^2  %-11s %-10s %11.2f %11.2f %11.2f  %s\n", size,
                        interleaved ? "interleaved" : "separate", kernel.name, median(cpu_ns),
                        *std::min_element(cpu_ns.begin(), cpu_ns.end()), median(wall_ns), same);
            std::fflush(stdout);
            if (same[0] == 'N') return 1;
        }
    }
    return 0;
}
