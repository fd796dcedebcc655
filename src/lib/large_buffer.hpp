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
// The block at `memory` resized to `new_bytes`, keeping its first bytes: a
// mapped block is remapped, which moves no data. The old block is gone
// unless this throws.
void* resize_large_buffer(void* memory, std::size_t old_bytes, std::size_t new_bytes);

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

// Doubles in a large buffer, left uninitialised, whose capacity changes
// keeping the values: a buffer that grows line by line is never copied once
// it is mapped. Its memory can become a result array's.
class DoubleBuffer {
public:
    DoubleBuffer() noexcept = default;
    explicit DoubleBuffer(std::size_t capacity) { reallocate(capacity); }
    DoubleBuffer(DoubleBuffer&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)),
          capacity_(std::exchange(other.capacity_, 0)) {}
    DoubleBuffer& operator=(DoubleBuffer&& other) noexcept {
        DoubleBuffer(std::move(other)).swap(*this);
        return *this;
    }
    ~DoubleBuffer() {
        if (data_ != nullptr) release_large_buffer(data_, capacity_ * sizeof(double));
    }

    double* data() const noexcept { return data_; }
    std::size_t capacity() const noexcept { return capacity_; }

    // Keeps the first min(capacity(), capacity) values.
    void reallocate(std::size_t capacity) {
        if (capacity == capacity_) return;
        if (capacity > static_cast<std::size_t>(-1) / sizeof(double)) throw std::bad_alloc();
        if (capacity == 0) {
            DoubleBuffer().swap(*this);
            return;
        }
        void* memory =
            data_ == nullptr
                ? allocate_large_buffer(capacity * sizeof(double))
                : resize_large_buffer(data_, capacity_ * sizeof(double), capacity * sizeof(double));
        data_ = static_cast<double*>(memory);
        capacity_ = capacity;
    }
    void swap(DoubleBuffer& other) noexcept {
        std::swap(data_, other.data_);
        std::swap(capacity_, other.capacity_);
    }

private:
    double* data_ = nullptr;
    std::size_t capacity_ = 0;
};

}  // namespace torvelin
