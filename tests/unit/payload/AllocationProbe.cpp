#include <cstdlib>
#include <new>

// Every allocation passes here (a file of its own: no inlining hides it) to catch input-sized ones.
std::size_t gLargestAllocation = 0;

void* operator new(std::size_t size) {
    if (size > gLargestAllocation) gLargestAllocation = size;
    if (void* p = std::malloc(size != 0 ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
