#include "large_buffer.hpp"

#include <sys/mman.h>

namespace torvelin {

namespace {

// Below this a block is cheaper to take from the heap.
constexpr std::size_t mapped_threshold = std::size_t{4} << 20;

}  // namespace

void* allocate_large_buffer(std::size_t bytes) {
    if (bytes < mapped_threshold) return ::operator new(bytes);
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
    munmap(memory, bytes);
}

}  // namespace torvelin
