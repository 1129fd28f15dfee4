#pragma once
// Memory for the array records, their small element blocks and dimension
// tables.
//
// Converting a long list makes a record for every element and frees them all
// together later; the general-purpose heap spends most of that
// time sorting freed chunks.  Where mimalloc is installed these come from its
// thread-local free lists instead (safe to free from any thread).  It is
// loaded privately, by name, so that it never takes over the process's own
// malloc or operator new; without it, and in sanitizer builds, the C heap
// serves, so tools see every allocation.
#include <atomic>
#include <cstddef>
#include <new>

namespace qx::impl {

struct SmallHeap {
    void* (*alloc)(std::size_t bytes);
    void* (*calloc)(std::size_t count, std::size_t size);
    void (*free)(void* p);
};

// Chosen once, on first use, for the life of the process.  Every record
// comes from here, so the choice is read without a call or a guard.
extern std::atomic<const SmallHeap*> chosenSmallHeap;
const SmallHeap& chooseSmallHeap() noexcept;
inline const SmallHeap& smallHeap() noexcept {
    const SmallHeap* heap = chosenSmallHeap.load(std::memory_order_acquire);
    return heap ? *heap : chooseSmallHeap();
}

inline void* smallAlloc(std::size_t bytes) noexcept {
    return smallHeap().alloc(bytes);
}
inline void* smallCalloc(std::size_t count, std::size_t size) noexcept {
    return smallHeap().calloc(count, size);
}
inline void smallFree(void* p) noexcept {
    smallHeap().free(p);
}

// Class-level operator new/delete over smallAlloc.
struct SmallObject {
    static void* operator new(std::size_t bytes) {
        if (void* p = smallAlloc(bytes)) return p;
        throw std::bad_alloc();
    }
    static void operator delete(void* p) noexcept { smallFree(p); }
};

// A standard allocator over smallAlloc, for allocate_shared.
template <class T>
struct SmallAllocator {
    using value_type = T;
    SmallAllocator() noexcept = default;
    template <class U>
    SmallAllocator(const SmallAllocator<U>&) noexcept {}
    T* allocate(std::size_t n) {
        if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
        if (void* p = smallAlloc(n * sizeof(T))) return static_cast<T*>(p);
        throw std::bad_alloc();
    }
    void deallocate(T* p, std::size_t) noexcept { smallFree(p); }
    template <class U>
    bool operator==(const SmallAllocator<U>&) const noexcept {
        return true;
    }
    template <class U>
    bool operator!=(const SmallAllocator<U>&) const noexcept {
        return false;
    }
};

}  // namespace qx::impl
