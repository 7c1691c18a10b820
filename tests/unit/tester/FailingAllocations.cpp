// The test program's allocation, replaced so that a test can make it fail (gFailAllocations).
// Alone in its file, so that no caller is compiled together with it.
#include <cstdlib>
#include <new>

bool gFailAllocations = false;

void* operator new(std::size_t size) {
    if (!gFailAllocations) {
        if (void* block = std::malloc(size > 0 ? size : 1))
            return block;
    }
    throw std::bad_alloc();
}

void operator delete(void* block) noexcept {
    std::free(block);
}

void operator delete(void* block, std::size_t) noexcept {
    std::free(block);
}
