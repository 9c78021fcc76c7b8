// Zero-filled memory for large tables, on 2 MB pages where the system grants
// them. Tables of hundreds of MB read at random otherwise miss the address
// translation caches on almost every read as well: one entry of those caches
// covers 4 KB of small pages but 2 MB of large ones.
#pragma once

#include <cstddef>
#include <limits>
#include <new>
#include <vector>

// Blocks from this size on are mapped on their own, 2 MB aligned, with the
// kernel asked for huge pages (a hint: small pages work too).
constexpr size_t huge_page_size = size_t{2} << 20;

// Maps at least bytes (rounded up to 4 KB, or to 2 MB from huge_page_size
// on) and returns the block and its mapped size; ends the run with "Ran out
// of memory" when the system refuses.
void* huge_map(size_t bytes, size_t& mapped_size);
void huge_unmap(void* block, size_t mapped_size);

// An allocator for std::vector: large blocks through huge_map, the rest from
// the heap.
template <class T>
struct huge_allocator {
    using value_type = T;
    huge_allocator() = default;
    template <class U>
    huge_allocator(const huge_allocator<U>&) noexcept {}

    T* allocate(size_t n) {
        if (n > std::numeric_limits<size_t>::max() / sizeof(T)) throw std::bad_array_new_length();
        const size_t bytes = n * sizeof(T);
        if (bytes < huge_page_size) return static_cast<T*>(::operator new(bytes));
        size_t mapped;
        return static_cast<T*>(huge_map(bytes, mapped));
    }
    void deallocate(T* p, size_t n) noexcept {
        const size_t bytes = n * sizeof(T);
        if (bytes < huge_page_size) {
            ::operator delete(p);
        } else {
            huge_unmap(p, (bytes + huge_page_size - 1) & ~(huge_page_size - 1));
        }
    }
    template <class U>
    bool operator==(const huge_allocator<U>&) const noexcept {
        return true;
    }
};

template <class T>
using big_vector = std::vector<T, huge_allocator<T>>;
