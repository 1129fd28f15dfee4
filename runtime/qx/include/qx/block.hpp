#pragma once
// What the array library keeps behind its element blocks and object arrays.
// The engine client and the engine use this to move arrays between processes;
// the Python module does not.
#include <qx/qx.hpp>

#include <cstdint>
#include <memory>

namespace qx {

// A zero-filled, reference-counted block of element memory.
class Block {
public:
    Block(void* data, std::size_t size) : data_(data), size_(size) {}
    virtual ~Block() = default;
    Block(const Block&) = delete;
    Block& operator=(const Block&) = delete;

    void* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    // A file descriptor the memory can be mapped from in another process, or -1.
    virtual int fd() const noexcept { return -1; }

protected:
    void* data_;
    std::size_t size_;
};

// Where element blocks come from.  Must be safe to call from many threads.
class BlockAllocator {
public:
    virtual ~BlockAllocator() = default;
    // A zero-filled block of `bytes` bytes (bytes > 0); nullptr when exhausted.
    virtual std::shared_ptr<Block> allocate(std::size_t bytes) = 0;
    // The same, for a caller that writes every byte before anything reads
    // one: it may hold whatever it held before (a reused block need not be
    // cleared first).
    virtual std::shared_ptr<Block> allocateForOverwrite(std::size_t bytes) { return allocate(bytes); }
};

// A zero-filled heap block; a small one shares a single allocation with its
// bookkeeping.  nullptr when memory runs out.  For allocators.
std::shared_ptr<Block> heapBlock(std::size_t bytes);

// The process-wide allocator (a heap allocator unless replaced).  Replace it
// before arrays are made from several threads.
void setBlockAllocator(std::shared_ptr<BlockAllocator> allocator);
std::shared_ptr<BlockAllocator> blockAllocator();
// A zero-filled block of `bytes` (> 0) bytes from the process-wide allocator,
// at least that large; nullptr when memory runs out.  Cheap enough to call
// for every scalar.
std::shared_ptr<Block> newBlock(std::size_t bytes);

// The blocks behind a numeric, logical or char array (nullptr where absent).
// Element data of at most 16 bytes in all (real and imaginary parts
// together: scalars, short vectors and texts) lives in the array record
// itself and has no block; these return nullptr for it, and a shared copy of
// such an array holds its own copy of those bytes.  Arrays over blocks
// (createArrayOverBlocks) and sparse arrays always keep their blocks.
std::shared_ptr<Block> realBlock(const qxArray* a);
std::shared_ptr<Block> imagBlock(const qxArray* a);
// A numeric, logical or char array over existing blocks (taken as they are,
// not copied).  Each block must hold at least element count times element
// size bytes; `imag` only for a complex numeric array.  nullptr otherwise.
qxArray* createArrayOverBlocks(qxSize ndim, const qxSize* dims, qxClassID classID, std::shared_ptr<Block> real,
                               std::shared_ptr<Block> imag);

// Engine objects.  An object array holds one object id per element and the
// session the objects live in; it is a reference while that session is alive.
// The session counts references: each list of ids made for an array of the
// session retains its ids once (copies of the array share the list) and
// releases them when the last array using the list goes.
class ObjectSession {
public:
    virtual ~ObjectSession() = default;
    virtual bool alive() const noexcept = 0;
    // Identifies the engine session, so an engine can tell its own objects.
    virtual std::uint64_t key() const noexcept = 0;
    // Called from any thread, also from inside array destruction: must not
    // block on anything an array's owner may hold.
    virtual void retain(const std::uint64_t* /*ids*/, std::size_t /*n*/) const noexcept {}
    virtual void release(const std::uint64_t* /*ids*/, std::size_t /*n*/) const noexcept {}
    // The peer sent these references (the codec calls it for every object
    // array of this session it decodes, after making the array).
    virtual void received(const std::uint64_t* /*ids*/, std::size_t /*n*/) const noexcept {}
};

// `ids` holds one id per element (column-major).  A null session makes an
// object array that is not a reference.
qxArray* createObjectArray(qxSize ndim, const qxSize* dims, const std::uint64_t* ids,
                           std::shared_ptr<const ObjectSession> session);
const std::uint64_t* objectIds(const qxArray* a);
std::shared_ptr<const ObjectSession> objectSession(const qxArray* a);

}  // namespace qx
