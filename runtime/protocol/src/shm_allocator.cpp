// The shared-memory block allocator: large blocks live in memfds so that the
// codec can hand them to the other process without copying.
#include "shm_block.hpp"

#include <veldra/protocol/array_codec.hpp>

#include <sys/mman.h>
#include <sys/resource.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

namespace veldra::protocol {
namespace shm {

std::size_t pageSize() noexcept {
    static const std::size_t size = [] {
        long p = ::sysconf(_SC_PAGESIZE);
        return p > 0 ? static_cast<std::size_t>(p) : std::size_t(4096);
    }();
    return size;
}

bool pageRound(std::size_t n, std::size_t* out) noexcept {
    const std::size_t p = pageSize();
    if (n > SIZE_MAX - (p - 1)) return false;
    *out = (n + p - 1) / p * p;
    return true;
}

UniqueFd createMemfd(std::size_t bytes) {
    UniqueFd fd(::memfd_create("veldra-block", MFD_CLOEXEC | MFD_ALLOW_SEALING));
    if (!fd) return fd;
    if (bytes > static_cast<std::size_t>(INT64_MAX) || ::ftruncate(fd.get(), static_cast<off_t>(bytes)) != 0)
        return UniqueFd();
    return fd;
}

bool sealSize(int fd) noexcept {
    return ::fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW) == 0;
}

namespace {

// A mapped memfd region that may go back to the pool.
struct Region {
    int fd = -1;
    void* data = nullptr;
    std::size_t mapped = 0;
};

void unmapRegion(const Region& r) noexcept {
    if (r.data) ::munmap(r.data, r.mapped);
    if (r.fd >= 0) ::close(r.fd);
}

// Released blocks that never left this process.  Reusing them saves the page
// faults of fresh memfd memory (a memset of warm pages is much cheaper).
class Pool {
public:
    bool put(const Region& r) noexcept {
        std::lock_guard<std::mutex> lock(mutex_);
        if (free_.size() >= limit_ || bytes_ + r.mapped > kMaxPoolBytes) return false;
        try {
            free_.push_back(r);
        } catch (...) {
            return false;
        }
        bytes_ += r.mapped;
        return true;
    }
    bool take(std::size_t mapped, Region* out) noexcept {
        std::lock_guard<std::mutex> lock(mutex_);
        for (std::size_t i = free_.size(); i-- > 0;) {
            if (free_[i].mapped != mapped) continue;
            *out = free_[i];
            free_.erase(free_.begin() + static_cast<std::ptrdiff_t>(i));
            bytes_ -= mapped;
            return true;
        }
        return false;
    }
    void setLimit(std::size_t blocks) {
        std::vector<Region> drop;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            limit_ = blocks;
            while (free_.size() > limit_) {
                drop.push_back(free_.back());
                bytes_ -= free_.back().mapped;
                free_.pop_back();
            }
        }
        for (const Region& r : drop) unmapRegion(r);
    }
    std::size_t size() {
        std::lock_guard<std::mutex> lock(mutex_);
        return free_.size();
    }

private:
    static constexpr std::size_t kMaxPoolBytes = std::size_t(256) << 20;
    std::mutex mutex_;
    std::vector<Region> free_;
    std::size_t bytes_ = 0;
    std::size_t limit_ = 8;
};

Pool& pool() {
    static Pool* p = new Pool;  // never destroyed: blocks may outlive static destruction
    return *p;
}

class MemfdBlock final : public qx::Block {
public:
    MemfdBlock(const Region& r, std::size_t size) : Block(r.data, size), region_(r) {}
    ~MemfdBlock() override {
        if (!shared_.load(std::memory_order_acquire) && pool().put(region_)) return;
        unmapRegion(region_);
    }
    int fd() const noexcept override { return region_.fd; }
    void markShared() noexcept { shared_.store(true, std::memory_order_release); }

private:
    Region region_;
    std::atomic<bool> shared_{false};
};

std::shared_ptr<qx::Block> wrap(const Region& r, std::size_t bytes) {
    try {
        return std::make_shared<MemfdBlock>(r, bytes);
    } catch (...) {
        unmapRegion(r);
        return nullptr;
    }
}

class SharedMemoryAllocator final : public qx::BlockAllocator {
public:
    std::shared_ptr<qx::Block> allocate(std::size_t bytes) override {
        if (bytes == 0) return nullptr;
        if (bytes < kSharedBlockThreshold) return qx::heapBlock(bytes);
        std::size_t mapped = 0;
        if (!pageRound(bytes, &mapped)) return nullptr;
        Region r;
        if (pool().take(mapped, &r)) {
            std::memset(r.data, 0, r.mapped);
            return wrap(r, bytes);
        }
        UniqueFd fd = createMemfd(mapped);
        if (!fd || !sealSize(fd.get())) return qx::heapBlock(bytes);  // out of descriptors: still usable memory
        void* p = ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
        if (p == MAP_FAILED) return qx::heapBlock(bytes);
        r.fd = fd.release();
        r.data = p;
        r.mapped = mapped;
        return wrap(r, bytes);
    }
};

}  // namespace

void markShared(qx::Block* block) noexcept {
    if (auto* b = dynamic_cast<MemfdBlock*>(block)) b->markShared();
}

void setPoolLimit(std::size_t blocks) { pool().setLimit(blocks); }
std::size_t pooledBlockCount() { return pool().size(); }

}  // namespace shm

void installSharedMemoryAllocator() {
    // Every large block holds a descriptor, so use all the process may have.
    struct rlimit lim {};
    if (::getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
        lim.rlim_cur = lim.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &lim);
    }
    qx::setBlockAllocator(std::make_shared<shm::SharedMemoryAllocator>());
}

}  // namespace veldra::protocol
