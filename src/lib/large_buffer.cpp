#include "large_buffer.hpp"

#include <sys/mman.h>

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

}  // namespace

void* allocate_large_buffer(std::size_t bytes) {
    if (bytes < mapped_threshold) return ::operator new(bytes);
    if (void* memory = take_kept(bytes)) return memory;
    void* memory = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
    // Only advice: without huge pages the block works the same.
    madvise(memory, bytes, MADV_HUGEPAGE);
#endif
    return memory;
}

void release_large_buffer(void* memory, std::size_t bytes) noexcept {
    if (bytes < mapped_threshold) {
        ::operator delete(memory);
        return;
    }
    Block unmapped{memory, bytes};
    if (bytes <= max_kept_block) unmapped = keep(unmapped);
    if (unmapped.memory != nullptr) munmap(unmapped.memory, unmapped.bytes);
}

}  // namespace torvelin
