#include "buffer.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace torvelin {

namespace {

constexpr std::size_t page = 4096;
constexpr std::size_t huge_page = std::size_t{2} << 20;

// From this size on a block is advised into huge pages and written only
// where made writable: smaller ones fault in cheaply, a few small pages at
// a time.
constexpr std::size_t large_block = std::size_t{4} << 20;

// From this size on a block is mapped by the module itself rather than
// taken from the C library, which maps blocks this large on its own anyway
// (always fresh, never reused) but neither aligns them nor lets them grow
// on huge pages: mapped here, they start on a huge-page boundary and span
// whole huge pages, so that all of them can be backed by huge pages (a
// gigabyte of field then faults in 512 times rather than 262,144, and its
// reads miss the TLB far less), and they grow by remapping, moving no data.
constexpr std::size_t mapped_block = std::size_t{32} << 20;

// The bytes of `count` elements of `element_size`, or a failure when no
// allocation could have that many (no block holds more than PTRDIFF_MAX
// bytes).
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
// than small pages. Only advice: without it the block works the same.
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

// A mapped block's length: its bytes in whole huge pages. `bytes` is at
// most PTRDIFF_MAX (block_bytes), so rounding up cannot wrap.
std::size_t mapped_length(std::size_t bytes) noexcept {
    return (bytes + huge_page - 1) / huge_page * huge_page;
}

// A fresh region of `length` bytes (whole huge pages) on a huge-page
// boundary, or null when the system has none to give.
void* aligned_region(std::size_t length) noexcept {
    void* mapped = mmap(nullptr, length + huge_page, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) return nullptr;
    auto* start = static_cast<char*>(mapped);
    const auto misalignment = reinterpret_cast<std::uintptr_t>(start) % huge_page;
    char* aligned = misalignment == 0 ? start : start + (huge_page - misalignment);
    if (aligned != start) munmap(start, static_cast<std::size_t>(aligned - start));
    char* end = aligned + length;
    if (end != start + length + huge_page) {
        munmap(end, static_cast<std::size_t>(start + length + huge_page - end));
    }
    advise_huge_pages(aligned, length);
    return aligned;
}

// A mapped block grown or shrunk to `new_length`, keeping its bytes: where
// it lies when the pages after it are free (or when it shrinks), else
// moved, onto a new aligned region where one can be had. Null when the
// system has no room; the block is then unchanged.
void* remap(void* block, std::size_t old_length, std::size_t new_length) noexcept {
    if (new_length == old_length) return block;
    if (mremap(block, old_length, new_length, 0) != MAP_FAILED) return block;
    if (void* target = aligned_region(new_length)) {
        void* moved = mremap(block, old_length, new_length, MREMAP_MAYMOVE | MREMAP_FIXED, target);
        if (moved != MAP_FAILED) return moved;
        munmap(target, new_length);
    }
    // No room for a second region beside the block: wherever it fits.
    void* moved = mremap(block, old_length, new_length, MREMAP_MAYMOVE);
    if (moved == MAP_FAILED) return nullptr;
    advise_huge_pages(moved, new_length);
    return moved;
}

}  // namespace

void* allocate_block(std::size_t count, std::size_t element_size) {
    const std::size_t bytes = block_bytes(count, element_size);
    if (bytes == 0) return nullptr;
    void* block = bytes >= mapped_block ? aligned_region(mapped_length(bytes)) : std::malloc(bytes);
    if (block == nullptr) throw AllocationFailure(count, element_size);
    advise_huge_pages(block, bytes);
    return block;
}

void* resize_block(void* block, std::size_t old_count, std::size_t count,
                   std::size_t element_size) {
    const std::size_t old_bytes = block_bytes(old_count, element_size);
    const std::size_t bytes = block_bytes(count, element_size);
    if (block == nullptr) return allocate_block(count, element_size);
    if (bytes == 0) {
        release_block(block, old_count, element_size);
        return nullptr;
    }
    // A block's size tells which kind it is; only a change of kind copies.
    const bool was_mapped = old_bytes >= mapped_block, mapped = bytes >= mapped_block;
    if (!was_mapped && !mapped) {
        void* resized = std::realloc(block, bytes);
        if (resized == nullptr) throw AllocationFailure(count, element_size);
        advise_huge_pages(resized, bytes);
        return resized;
    }
    if (was_mapped && mapped) {
        void* resized = remap(block, mapped_length(old_bytes), mapped_length(bytes));
        if (resized == nullptr) throw AllocationFailure(count, element_size);
        return resized;
    }
    void* resized = allocate_block(count, element_size);
    std::memcpy(resized, block, std::min(old_bytes, bytes));
    release_block(block, old_count, element_size);
    return resized;
}

void release_block(void* block, std::size_t count, std::size_t element_size) noexcept {
    if (block == nullptr) return;
    const std::size_t bytes = count * element_size;  // checked when it was had
    if (bytes >= mapped_block) {
        munmap(block, mapped_length(bytes));
    } else {
        std::free(block);
    }
}

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
