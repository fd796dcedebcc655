// Memory for large buffers of doubles that are filled right after they are
// allocated: result arrays, input values, the grid's field.
//
// Large blocks are mapped directly and offered to the kernel as candidates
// for huge pages, so that first writes fault in 2 MiB at a time instead of
// 4 KiB, and the last one released is kept for reuse if it is not too big;
// small ones come from the ordinary heap. Elements are left
// uninitialised by a sized construction, since every user writes them all.
#pragma once

#include <algorithm>
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
// Whether a block of `bytes` is mapped (rather than taken from the heap).
bool is_mapped_large_buffer(std::size_t bytes) noexcept;
// Makes the pages of bytes [from, to) of the mapped block at `memory`
// present and writable, so that writing them later does not fault. Pages
// that are present already stay as they are.
void populate_large_buffer(void* memory, std::size_t from, std::size_t to) noexcept;

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
//
// A first write to mapped memory faults in a huge page, which in a virtual
// machine whose host has not yet backed that memory can take milliseconds.
// Writers that must not stall for long make the pages ready ahead, piece
// by piece (populate), and write only up to ready().
class DoubleBuffer {
public:
    DoubleBuffer() noexcept = default;
    explicit DoubleBuffer(std::size_t capacity) { reallocate(capacity); }
    DoubleBuffer(DoubleBuffer&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)),
          capacity_(std::exchange(other.capacity_, 0)),
          populated_(std::exchange(other.populated_, 0)) {}
    DoubleBuffer& operator=(DoubleBuffer&& other) noexcept {
        DoubleBuffer(std::move(other)).swap(*this);
        return *this;
    }
    ~DoubleBuffer() {
        if (data_ != nullptr) release_large_buffer(data_, capacity_ * sizeof(double));
    }

    double* data() const noexcept { return data_; }
    std::size_t capacity() const noexcept { return capacity_; }
    bool is_mapped() const noexcept { return is_mapped_large_buffer(capacity_ * sizeof(double)); }

    // The values from the start that can be written without a slow fault:
    // all of a heap block, whose small pages fault cheaply.
    std::size_t ready() const noexcept { return is_mapped() ? populated_ : capacity_; }
    // Makes values up to `count` ready.
    void populate(std::size_t count) noexcept {
        count = std::min(count, capacity_);
        if (!is_mapped() || count <= populated_) return;
        populate_large_buffer(data_, populated_ * sizeof(double), count * sizeof(double));
        populated_ = count;
    }

    // Keeps the first min(capacity(), capacity) values.
    void reallocate(std::size_t capacity) {
        if (capacity == capacity_) return;
        if (capacity > static_cast<std::size_t>(-1) / sizeof(double)) throw std::bad_alloc();
        if (capacity == 0) {
            DoubleBuffer().swap(*this);
            return;
        }
        const bool was_mapped = is_mapped();
        void* memory =
            data_ == nullptr
                ? allocate_large_buffer(capacity * sizeof(double))
                : resize_large_buffer(data_, capacity_ * sizeof(double), capacity * sizeof(double));
        // Remapped pages stay present; a block copied into a mapping has
        // the pages it was copied to.
        populated_ = std::min(was_mapped ? populated_ : capacity_, capacity);
        data_ = static_cast<double*>(memory);
        capacity_ = capacity;
    }
    void swap(DoubleBuffer& other) noexcept {
        std::swap(data_, other.data_);
        std::swap(capacity_, other.capacity_);
        std::swap(populated_, other.populated_);
    }

private:
    double* data_ = nullptr;
    std::size_t capacity_ = 0;
    std::size_t populated_ = 0;  // of a mapped block
};

}  // namespace torvelin
