#include "large_buffer.hpp"

#include <sys/mman.h>

#include <algorithm>
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

}  // namespace

void* allocate_large_buffer(std::size_t bytes) {
    if (bytes < mapped_threshold) return heap_block(nullptr, bytes);
    if (void* memory = take_kept(bytes)) return memory;
    void* memory = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
    // Only advice: without huge pages the block works the same.
    madvise(memory, bytes, MADV_HUGEPAGE);
#endif
    return memory;
}

void* resize_large_buffer(void* memory, std::size_t old_bytes, std::size_t new_bytes) {
    // A block's size tells which kind it is; only a change of kind copies.
    if (old_bytes < mapped_threshold && new_bytes < mapped_threshold) {
        return heap_block(memory, new_bytes);
    }
    if (old_bytes >= mapped_threshold && new_bytes >= mapped_threshold) {
        void* moved = mremap(memory, old_bytes, new_bytes, MREMAP_MAYMOVE);
        if (moved == MAP_FAILED) throw std::bad_alloc();
        return moved;
    }
    void* resized = allocate_large_buffer(new_bytes);
    std::memcpy(resized, memory, std::min(old_bytes, new_bytes));
    release_large_buffer(memory, old_bytes);
    return resized;
}

void release_large_buffer(void* memory, std::size_t bytes) noexcept {
    if (bytes < mapped_threshold) {
        std::free(memory);
        return;
    }
    Block unmapped{memory, bytes};
    if (bytes <= max_kept_block) unmapped = keep(unmapped);
    if (unmapped.memory != nullptr) munmap(unmapped.memory, unmapped.bytes);
}

}  // namespace torvelin
