// Element blocks and where they come from.
#include "array_impl.hpp"

#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <new>
#include <utility>

namespace qx {
namespace {

class HeapBlock final : public Block {
public:
    HeapBlock(void* data, std::size_t size) : Block(data, size) {}
    ~HeapBlock() override { std::free(data_); }
};

// Element memory inside the block object itself: one allocation in all for
// the scalars and short vectors that containers are full of.
template <std::size_t N>
class InlineBlock final : public Block {
public:
    explicit InlineBlock(std::size_t size) : Block(nullptr, size) { data_ = storage_; }

private:
    alignas(16) unsigned char storage_[N]{};
};

template <std::size_t N>
std::shared_ptr<Block> inlineBlock(std::size_t bytes) {
    return std::make_shared<InlineBlock<N>>(bytes);
}

class HeapAllocator final : public BlockAllocator {
public:
    std::shared_ptr<Block> allocate(std::size_t bytes) override { return heapBlock(bytes); }
};

std::mutex& allocatorMutex() {
    static std::mutex m;
    return m;
}

std::shared_ptr<BlockAllocator>& allocatorSlot() {
    static std::shared_ptr<BlockAllocator> slot = std::make_shared<HeapAllocator>();
    return slot;
}

}  // namespace

std::shared_ptr<Block> heapBlock(std::size_t bytes) {
    if (bytes == 0) return nullptr;
    try {
        if (bytes <= 16) return inlineBlock<16>(bytes);
        if (bytes <= 128) return inlineBlock<128>(bytes);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    void* p = std::calloc(1, bytes);  // large requests map fresh zero pages lazily
    if (!p) return nullptr;
    try {
        return std::make_shared<HeapBlock>(p, bytes);
    } catch (...) {
        std::free(p);
        return nullptr;
    }
}

void setBlockAllocator(std::shared_ptr<BlockAllocator> allocator) {
    if (!allocator) allocator = std::make_shared<HeapAllocator>();
    std::lock_guard<std::mutex> lock(allocatorMutex());
    allocatorSlot() = std::move(allocator);
}

std::shared_ptr<BlockAllocator> blockAllocator() {
    std::lock_guard<std::mutex> lock(allocatorMutex());
    return allocatorSlot();
}

namespace impl {

bool byteCount(qxSize count, std::size_t elemSize, std::size_t* out) {
    qxSize bytes = 0;
    if (!mulSize(count, elemSize, &bytes)) return false;
    if (bytes > static_cast<qxSize>(PTRDIFF_MAX)) return false;
    *out = static_cast<std::size_t>(bytes);
    return true;
}

std::shared_ptr<Block> allocateBlock(std::size_t bytes) {
    if (bytes == 0) return nullptr;
    try {
        auto allocator = blockAllocator();
        if (!allocator) return nullptr;
        auto block = allocator->allocate(bytes);
        // A block too small or without memory would let readers run past it.
        if (!block || !block->data() || block->size() < bytes) return nullptr;
        return block;
    } catch (...) {
        return nullptr;
    }
}

SlotTable allocateSlots(qxSize count) {
    if (count == 0) return nullptr;
    std::size_t bytes = 0;
    if (!byteCount(count, sizeof(qxArray*), &bytes)) return nullptr;
    return SlotTable(static_cast<qxArray**>(std::calloc(static_cast<std::size_t>(count), sizeof(qxArray*))));
}

}  // namespace impl

std::shared_ptr<Block> realBlock(const qxArray* a) { return a ? a->real : nullptr; }

std::shared_ptr<Block> imagBlock(const qxArray* a) { return a ? a->imag : nullptr; }

qxArray* createArrayOverBlocks(qxSize ndim, const qxSize* dims, qxClassID classID,
                               std::shared_ptr<Block> real, std::shared_ptr<Block> imag) {
    const std::size_t elemSize = impl::classElementSize(classID);
    if (elemSize == 0) return nullptr;
    if (imag && !impl::isNumericClass(classID)) return nullptr;
    std::vector<qxSize> d;
    qxSize numel = 0;
    try {
        if (!impl::normalizeDims(ndim, dims, &d, &numel)) return nullptr;
    } catch (...) {
        return nullptr;
    }
    std::size_t bytes = 0;
    if (!impl::byteCount(numel, elemSize, &bytes)) return nullptr;
    auto fits = [bytes](const std::shared_ptr<Block>& b) {
        return b && b->data() && b->size() >= bytes;
    };
    if (bytes > 0 && (!fits(real) || (imag && !fits(imag)))) return nullptr;
    qxArray* a = impl::newArray(classID, std::move(d), numel);
    if (!a) return nullptr;
    a->complex = imag != nullptr;
    if (bytes > 0) {  // an empty array has no blocks
        a->real = std::move(real);
        a->imag = std::move(imag);
    }
    return a;
}

}  // namespace qx
