#include "huge_memory.h"

#include <sys/mman.h>

#include <cstdint>

#include "error.h"

void* huge_map(size_t bytes, size_t& mapped_size) {
    if (bytes < huge_page_size) {  // small: plain pages
        mapped_size = (bytes + 4095) & ~size_t{4095};
        void* block = ::mmap(nullptr, mapped_size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (block == MAP_FAILED) fail_out_of_memory();
        return block;
    }
    mapped_size = (bytes + huge_page_size - 1) & ~(huge_page_size - 1);
    // Map one huge page more than needed and give back the ends, so that the
    // block starts on a 2 MB boundary.
    void* mapped = ::mmap(nullptr, mapped_size + huge_page_size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) fail_out_of_memory();
    uintptr_t start = reinterpret_cast<uintptr_t>(mapped);
    uintptr_t aligned = (start + huge_page_size - 1) & ~(huge_page_size - 1);
    if (aligned > start) ::munmap(mapped, aligned - start);
    if (size_t tail = start + mapped_size + huge_page_size - (aligned + mapped_size)) ::munmap(reinterpret_cast<void*>(aligned + mapped_size), tail);
    void* block = reinterpret_cast<void*>(aligned);
#ifdef MADV_HUGEPAGE
    ::madvise(block, mapped_size, MADV_HUGEPAGE);
#endif
    return block;
}

void huge_unmap(void* block, size_t mapped_size) {
    if (block != nullptr) ::munmap(block, mapped_size);
}
