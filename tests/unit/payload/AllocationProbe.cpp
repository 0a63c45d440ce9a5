#include <atomic>
#include <cstdlib>
#include <new>

// The whole test program allocates through here, so a test can see the largest request and
// check that nothing was sized by a number read from the input.
std::atomic<std::size_t> gLargestAllocation{0};

// In a file of its own so that no caller sees malloc and free through inlining.
void* operator new(std::size_t size) {
    for (std::size_t seen = gLargestAllocation; size > seen;) {
        if (gLargestAllocation.compare_exchange_weak(seen, size)) {
            break;
        }
    }
    if (void* p = std::malloc(size != 0 ? size : 1)) {
        return p;
    }
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
