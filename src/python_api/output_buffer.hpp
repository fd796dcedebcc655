// Memory for result arrays.
//
// Results can be large (seeds × steps × 2 values) and are written once,
// straight after allocation. Large blocks are mapped directly and offered to
// the kernel as candidates for huge pages, so that first writes fault in
// 2 MiB at a time instead of 4 KiB; small ones come from the ordinary heap.
#pragma once

#include <cstddef>
#include <new>
#include <vector>

namespace torvelin::py {

void* allocate_output_memory(std::size_t bytes);
void release_output_memory(void* memory, std::size_t bytes) noexcept;

template <class T>
struct OutputAllocator {
    using value_type = T;

    OutputAllocator() = default;
    template <class U>
    OutputAllocator(const OutputAllocator<U>&) noexcept {}

    T* allocate(std::size_t count) {
        if (count > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
        return static_cast<T*>(allocate_output_memory(count * sizeof(T)));
    }
    void deallocate(T* memory, std::size_t count) noexcept {
        release_output_memory(memory, count * sizeof(T));
    }
    template <class U>
    bool operator==(const OutputAllocator<U>&) const noexcept {
        return true;
    }
};

// The values of a result array, handed over to NumPy without a copy.
using OutputValues = std::vector<double, OutputAllocator<double>>;

}  // namespace torvelin::py
