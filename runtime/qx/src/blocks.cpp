// Element blocks and where they come from.
#include "array_impl.hpp"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

namespace qx {
namespace {

// Blocks up to this size come from the small-object heap; larger ones from
// calloc, which maps fresh zero pages that cost nothing until touched.
constexpr std::size_t kSmallBlockBytes = 4096;

class HeapBlock final : public Block {
public:
    HeapBlock(void* data, std::size_t size) : Block(data, size) {}
    ~HeapBlock() override {
        if (size_ <= kSmallBlockBytes) impl::smallFree(data_);
        else std::free(data_);
    }
};

// Element memory inside the block object itself: one allocation in all for
// short vectors and texts (the shortest, and scalars, need no block at all:
// their elements live in the array record).
template <std::size_t N>
class InlineBlock final : public Block {
public:
    explicit InlineBlock(std::size_t size) : Block(nullptr, size) { data_ = storage_; }

private:
    alignas(16) unsigned char storage_[N]{};
};

template <std::size_t N>
std::shared_ptr<Block> inlineBlock(std::size_t bytes) {
    return std::allocate_shared<InlineBlock<N>>(impl::SmallAllocator<InlineBlock<N>>(), bytes);
}

class HeapAllocator final : public BlockAllocator {
public:
    std::shared_ptr<Block> allocate(std::size_t bytes) override { return heapBlock(bytes); }
};

// Every allocator ever installed stays alive here, so that the one in use can
// be read without a lock or a reference count: blocks are made in every
// conversion, from many threads.
struct AllocatorSlot {
    std::mutex mutex;
    std::shared_ptr<BlockAllocator> heap = std::make_shared<HeapAllocator>();
    std::vector<std::shared_ptr<BlockAllocator>> installed;
    std::atomic<BlockAllocator*> current{nullptr};  // nullptr: `heap`, called directly
};

AllocatorSlot& allocatorSlot() {
    static AllocatorSlot* slot = new AllocatorSlot;  // never destroyed: blocks outlive static destruction
    return *slot;
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
    const bool small = bytes <= kSmallBlockBytes;
    void* p = small ? impl::smallCalloc(1, bytes) : std::calloc(1, bytes);
    if (!p) return nullptr;
    try {
        return std::allocate_shared<HeapBlock>(impl::SmallAllocator<HeapBlock>(), p, bytes);
    } catch (...) {
        if (small) impl::smallFree(p);
        else std::free(p);
        return nullptr;
    }
}

void setBlockAllocator(std::shared_ptr<BlockAllocator> allocator) {
    AllocatorSlot& slot = allocatorSlot();
    std::lock_guard<std::mutex> lock(slot.mutex);
    if (!allocator || allocator == slot.heap) {
        slot.current.store(nullptr, std::memory_order_release);
        return;
    }
    bool known = false;
    for (const auto& a : slot.installed) known = known || a == allocator;
    if (!known) slot.installed.push_back(allocator);
    slot.current.store(allocator.get(), std::memory_order_release);
}

std::shared_ptr<BlockAllocator> blockAllocator() {
    AllocatorSlot& slot = allocatorSlot();
    std::lock_guard<std::mutex> lock(slot.mutex);
    BlockAllocator* current = slot.current.load(std::memory_order_acquire);
    for (const auto& a : slot.installed)
        if (a.get() == current) return a;
    return slot.heap;
}

std::shared_ptr<Block> newBlock(std::size_t bytes) {
    return impl::allocateBlock(bytes);
}

namespace impl {

bool byteCount(qxSize count, std::size_t elemSize, std::size_t* out) {
    qxSize bytes = 0;
    if (!mulSize(count, elemSize, &bytes)) return false;
    if (bytes > static_cast<qxSize>(PTRDIFF_MAX)) return false;
    *out = static_cast<std::size_t>(bytes);
    return true;
}

std::shared_ptr<Block> allocateBlock(std::size_t bytes, bool zeroed) {
    if (bytes == 0) return nullptr;
    try {
        BlockAllocator* allocator = allocatorSlot().current.load(std::memory_order_acquire);
        auto block = !allocator ? heapBlock(bytes)
                     : zeroed   ? allocator->allocate(bytes)
                                : allocator->allocateForOverwrite(bytes);
        // A block too small or without memory would let readers run past it.
        if (!block || !block->data() || block->size() < bytes) return nullptr;
        return block;
    } catch (...) {
        return nullptr;
    }
}

qxArray** allocateSlots(qxSize count) noexcept {
    if (count == 0) return nullptr;
    std::size_t bytes = 0;
    if (!byteCount(count, sizeof(qxArray*), &bytes)) return nullptr;
    return static_cast<qxArray**>(std::calloc(static_cast<std::size_t>(count), sizeof(qxArray*)));
}

}  // namespace impl

std::shared_ptr<Block> realBlock(const qxArray* a) {
    return a && impl::holdsBlock(a) ? impl::full(a)->payload.real : nullptr;
}

std::shared_ptr<Block> imagBlock(const qxArray* a) {
    if (!a || a->has(qxArray::kLocal)) return nullptr;
    const impl::Extra* x = impl::full(a)->extra;
    return x ? x->imag : nullptr;
}

qxArray* createArrayOverBlocks(qxSize ndim, const qxSize* dims, qxClassID classID, std::shared_ptr<Block> real,
                               std::shared_ptr<Block> imag) {
    const std::size_t elemSize = impl::classElementSize(classID);
    if (elemSize == 0) return nullptr;
    if (imag && !impl::isNumericClass(classID)) return nullptr;
    impl::Shape shape;
    if (!impl::normalizeDims(ndim, dims, &shape)) return nullptr;
    std::size_t bytes = 0;
    if (!impl::byteCount(shape.numel, elemSize, &bytes)) return nullptr;
    auto fits = [bytes](const std::shared_ptr<Block>& b) { return b && b->data() && b->size() >= bytes; };
    if (bytes > 0 && (!fits(real) || (imag && !fits(imag)))) return nullptr;
    impl::Record* a = impl::newRecord(classID, imag ? qxArray::kComplex : 0, shape);
    if (!a) return nullptr;
    if (bytes > 0) {  // an empty array has no blocks
        if (imag) {
            if (!impl::addExtra(a)) {
                qxDestroyArray(a);
                return nullptr;
            }
            a->extra->imag = std::move(imag);
        }
        a->payload.real = std::move(real);
    }
    return a;
}

}  // namespace qx
