// Memory for large buffers of doubles that are filled right after they are
// allocated: result arrays, input values, the grid's field.
//
// Large blocks are mapped directly and offered to the kernel as candidates
// for huge pages, so that first writes fault in 2 MiB at a time instead of
// 4 KiB, and the last one released is kept for reuse if it is not too big;
// small ones come from the ordinary heap. Elements are left
// uninitialised by a sized construction, since every user writes them all.
#pragma once

#include <cstddef>
#include <new>
#include <utility>
#include <vector>

namespace torvelin {

void* allocate_large_buffer(std::size_t bytes);
void release_large_buffer(void* memory, std::size_t bytes) noexcept;

template <class T>
struct LargeBufferAllocator {
    using value_type = T;

    LargeBufferAllocator() = default;
    template <class U>
    LargeBufferAllocator(const LargeBufferAllocator<U>&) noexcept {}

    T* allocate(std::size_t count) {
        if (count > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
        return static_cast<T*>(allocate_large_buffer(count * sizeof(T)));
    }
    void deallocate(T* memory, std::size_t count) noexcept {
        release_large_buffer(memory, count * sizeof(T));
    }
    // Default-initialises, so vector(n) and resize(n) write nothing.
    template <class U>
    void construct(U* at) noexcept {
        ::new (static_cast<void*>(at)) U;
    }
    template <class U, class... Args>
    void construct(U* at, Args&&... args) {
        ::new (static_cast<void*>(at)) U(std::forward<Args>(args)...);
    }
    template <class U>
    bool operator==(const LargeBufferAllocator<U>&) const noexcept {
        return true;
    }
};

using LargeVector = std::vector<double, LargeBufferAllocator<double>>;

}  // namespace torvelin
