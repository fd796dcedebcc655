#include "buffer.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>

namespace torvelin {

namespace {

constexpr std::size_t page = 4096;
constexpr std::size_t huge_page = std::size_t{2} << 20;

// From this size on a block is advised into huge pages and written only
// where made writable: smaller ones fault in cheaply, a few small pages at a time.
constexpr std::size_t large_block = std::size_t{4} << 20;

// The bytes of `count` elements of `element_size`, or a failure when no
// allocation could have that many (the C library refuses more than
// PTRDIFF_MAX bytes in one block).
std::size_t block_bytes(std::size_t count, std::size_t element_size) {
    std::size_t bytes = 0;
    if (__builtin_mul_overflow(count, element_size, &bytes) ||
        bytes > static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max())) {
        throw AllocationFailure(count, element_size);
    }
    return bytes;
}

// Asks for the whole huge pages inside a large block to be backed by huge
// pages: a first write then faults 2 MiB at a time, about five times faster
// than small pages, and reading a large field misses the TLB far less. Only
// advice: without it the block works the same.
void advise_huge_pages(void* block, std::size_t bytes) noexcept {
#ifdef MADV_HUGEPAGE
    if (bytes < large_block) return;
    const auto start = reinterpret_cast<std::uintptr_t>(block);
    const std::uintptr_t first = (start + huge_page - 1) / huge_page * huge_page;
    const std::uintptr_t last = (start + bytes) / huge_page * huge_page;
    if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
    (void)block;
    (void)bytes;
#endif
}

}  // namespace

void* allocate_block(std::size_t count, std::size_t element_size) {
    const std::size_t bytes = block_bytes(count, element_size);
    if (bytes == 0) return nullptr;
    void* block = std::malloc(bytes);
    if (block == nullptr) throw AllocationFailure(count, element_size);
    advise_huge_pages(block, bytes);
    return block;
}

void* resize_block(void* block, std::size_t count, std::size_t element_size) {
    const std::size_t bytes = block_bytes(count, element_size);
    if (bytes == 0) {
        std::free(block);
        return nullptr;
    }
    void* resized = std::realloc(block, bytes);
    if (resized == nullptr) throw AllocationFailure(count, element_size);
    advise_huge_pages(resized, bytes);
    return resized;
}

void release_block(void* block) noexcept { std::free(block); }

void prepare_block(void* block, std::size_t from, std::size_t to) {
    if (to <= from) return;
    auto* base = static_cast<char*>(block);
    // Whole pages, from the first that starts at or after `from`: a page
    // that starts before it holds values already written, so it is present.
    const auto address = reinterpret_cast<std::uintptr_t>(base + from);
    char* first = base + from + (page - address % page) % page;
    char* last = base + to;
    if (last <= first) return;
#ifdef MADV_POPULATE_WRITE
    // madvise wants a page-aligned start; the length may end mid-page.
    if (madvise(first, static_cast<std::size_t>(last - first), MADV_POPULATE_WRITE) == 0) return;
    if (errno == ENOMEM || errno == EFAULT) throw AllocationFailure(to - from, 1);
#endif
    // Older kernels: a write per page faults it in. Writing back the byte
    // that is there changes nothing; volatile keeps it from being dropped.
    for (char* at = first; at < last; at += page) {
        auto* byte = static_cast<volatile char*>(at);
        *byte = *byte;
    }
}

bool is_large_block(std::size_t count, std::size_t element_size) noexcept {
    return count >= large_block / element_size;
}

std::size_t grown_capacity(std::size_t capacity, std::size_t element_size) {
    if (capacity < 16) return 16;
    if (capacity > std::numeric_limits<std::size_t>::max() / 2) {
        throw AllocationFailure(std::numeric_limits<std::size_t>::max(), element_size);
    }
    return 2 * capacity;
}

void fill_nan(double* from, double* to, const Checkpoint& checkpoint) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    in_pieces(static_cast<std::size_t>(to - from), checkpoint,
              [from, nan](std::size_t first, std::size_t count) {
                  std::fill(from + first, from + first + count, nan);
              });
}

}  // namespace torvelin
