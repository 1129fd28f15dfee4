// Where the array library's small allocations come from.
#include "small_alloc.hpp"

#include <dlfcn.h>

#include <cstdlib>
#include <cstring>

namespace qx::impl {
namespace {

void* heapAlloc(std::size_t bytes) {
    return std::malloc(bytes);
}
void* heapCalloc(std::size_t count, std::size_t size) {
    return std::calloc(count, size);
}
void heapFree(void* p) {
    std::free(p);
}

SmallHeap choose() noexcept {
    SmallHeap heap{heapAlloc, heapCalloc, heapFree};
#if !defined(VELDRA_C_HEAP_ONLY)
    const char* setting = std::getenv("VELDRA_ALLOCATOR");
    if (setting != nullptr && std::strcmp(setting, "malloc") == 0) return heap;
    // RTLD_LOCAL: its malloc and operator new stay out of every other
    // library's symbol lookup.  Never closed: blocks outlive everything.
    void* lib = ::dlopen("libmimalloc.so.2", RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr) return heap;
    auto alloc = reinterpret_cast<void* (*)(std::size_t)>(::dlsym(lib, "mi_malloc"));
    auto zeroed = reinterpret_cast<void* (*)(std::size_t, std::size_t)>(::dlsym(lib, "mi_calloc"));
    auto release = reinterpret_cast<void (*)(void*)>(::dlsym(lib, "mi_free"));
    if (alloc != nullptr && zeroed != nullptr && release != nullptr) heap = SmallHeap{alloc, zeroed, release};
#endif
    return heap;
}

}  // namespace

std::atomic<const SmallHeap*> chosenSmallHeap{nullptr};

const SmallHeap& chooseSmallHeap() noexcept {
    static const SmallHeap heap = choose();
    chosenSmallHeap.store(&heap, std::memory_order_release);
    return heap;
}

}  // namespace qx::impl
