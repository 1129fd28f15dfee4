// The shared-memory block allocator: large blocks live in memfds so that the
// codec can hand them to the other process without copying.
#include "shm_block.hpp"

#include <veldra/protocol/shared_blocks.hpp>

#include <sys/mman.h>
#include <sys/sysinfo.h>
#include <fcntl.h>
#include <unistd.h>

#ifndef F_SEAL_FUTURE_WRITE
#define F_SEAL_FUTURE_WRITE 0x0010  // Linux 5.1
#endif

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <map>
#include <mutex>
#include <utility>
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

// Memory and swap together, the most one block could ever hold.
std::size_t machineBytes() noexcept {
    struct sysinfo info{};
    if (::sysinfo(&info) != 0) return SIZE_MAX;
    const unsigned long long total = (static_cast<unsigned long long>(info.totalram) + info.totalswap) * info.mem_unit;
    return total > SIZE_MAX ? SIZE_MAX : static_cast<std::size_t>(total);
}

UniqueFd createMemfd(std::size_t bytes) {
    // A memory file of any size is made at once, its pages only as they are
    // written: one larger than the machine would be handed out, and its
    // writes would bring the out-of-memory killer.  Refused instead, as any
    // allocation that cannot be met.
    static const std::size_t kMachine = machineBytes();
    if (bytes > kMachine) return UniqueFd();
    UniqueFd fd(::memfd_create("veldra-block", MFD_CLOEXEC | MFD_ALLOW_SEALING));
    if (!fd) return fd;
    if (bytes > static_cast<std::size_t>(INT64_MAX) || ::ftruncate(fd.get(), static_cast<off_t>(bytes)) != 0)
        return UniqueFd();
    return fd;
}

bool sealSize(int fd) noexcept {
    return ::fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW) == 0;
}

bool sealShrinking(int fd) noexcept {
    return ::fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK) == 0;
}

bool sealWrites(int fd) noexcept {
    return ::fcntl(fd, F_ADD_SEALS, F_SEAL_FUTURE_WRITE) == 0;
}

UniqueFd reopenReadOnly(int fd) {
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    return UniqueFd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
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

// A mapped region and what becomes of it once nothing here uses it and no
// peer has it mapped: back to the pool, unless a peer may still see it.
struct RegionOwner {
    explicit RegionOwner(const Region& region) : r(region) {}
    RegionOwner(const RegionOwner&) = delete;
    RegionOwner& operator=(const RegionOwner&) = delete;
    ~RegionOwner() {
        if (!tainted.load(std::memory_order_acquire) && pool().put(r)) return;
        unmapRegion(r);
    }
    Region r;
    const std::uint64_t id = nextRegionId();
    std::atomic<bool> tainted{false};

private:
    static std::uint64_t nextRegionId() noexcept {
        static std::atomic<std::uint64_t> next{1};
        return next.fetch_add(1, std::memory_order_relaxed);
    }
};

class MemfdBlock final : public qx::Block {
public:
    MemfdBlock(std::shared_ptr<RegionOwner> owner, std::size_t size)
        : Block(owner->r.data, size), owner_(std::move(owner)) {}
    int fd() const noexcept override { return owner_->r.fd; }
    const std::shared_ptr<RegionOwner>& owner() const noexcept { return owner_; }

private:
    std::shared_ptr<RegionOwner> owner_;
};

std::shared_ptr<qx::Block> wrap(const Region& r, std::size_t bytes) {
    std::shared_ptr<RegionOwner> owner;
    try {
        owner = std::make_shared<RegionOwner>(r);
    } catch (...) {
        unmapRegion(r);
        return nullptr;
    }
    try {
        return std::make_shared<MemfdBlock>(std::move(owner), bytes);
    } catch (...) {
        return nullptr;  // the owner pools the region
    }
}

// Regions lent to peers, by peer and region id, with the number of mappings
// the peer was sent and has not yet given back.
class Loans {
public:
    std::uint64_t lend(const std::shared_ptr<RegionOwner>& owner, std::uint64_t peer) {
        std::lock_guard<std::mutex> lock(mutex_);
        Loan& loan = loans_[{peer, owner->id}];
        if (!loan.owner) loan.owner = owner;
        ++loan.count;
        return owner->id;
    }
    void returned(std::uint64_t peer, std::uint64_t id, bool reusable) noexcept {
        std::shared_ptr<RegionOwner> drop;  // released outside the lock
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = loans_.find({peer, id});
        if (it == loans_.end()) return;
        if (!reusable) it->second.owner->tainted.store(true, std::memory_order_release);
        if (--it->second.count > 0) return;
        drop = std::move(it->second.owner);
        loans_.erase(it);
    }
    std::shared_ptr<RegionOwner> find(std::uint64_t peer, std::uint64_t id) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = loans_.find({peer, id});
        return it == loans_.end() ? nullptr : it->second.owner;
    }
    void forget(std::uint64_t peer) noexcept {
        std::vector<std::shared_ptr<RegionOwner>> drop;
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto it = loans_.lower_bound({peer, 0}); it != loans_.end() && it->first.first == peer;) {
            // It may still be mapped there: never hand it out again.
            it->second.owner->tainted.store(true, std::memory_order_release);
            try {
                drop.push_back(std::move(it->second.owner));
            } catch (...) {}
            it = loans_.erase(it);
        }
    }
    std::size_t size() {
        std::lock_guard<std::mutex> lock(mutex_);
        return loans_.size();
    }

private:
    struct Loan {
        std::shared_ptr<RegionOwner> owner;
        std::size_t count = 0;
    };
    std::mutex mutex_;
    std::map<std::pair<std::uint64_t, std::uint64_t>, Loan> loans_;
};

Loans& loans() {
    static Loans* l = new Loans;  // never destroyed, like the pool
    return *l;
}

class SharedMemoryAllocator final : public qx::BlockAllocator {
public:
    std::shared_ptr<qx::Block> allocate(std::size_t bytes) override { return make(bytes, true); }
    std::shared_ptr<qx::Block> allocateForOverwrite(std::size_t bytes) override { return make(bytes, false); }

private:
    static std::shared_ptr<qx::Block> make(std::size_t bytes, bool zeroed) {
        if (bytes == 0) return nullptr;
        if (bytes < kSharedBlockThreshold) return qx::heapBlock(bytes);
        std::size_t mapped = 0;
        if (!pageRound(bytes, &mapped)) return nullptr;
        Region r;
        if (pool().take(mapped, &r)) {
            // Pooled memory is warm; it only needs clearing if it is read first.
            if (zeroed) std::memset(r.data, 0, r.mapped);
            return wrap(r, bytes);
        }
        UniqueFd fd = createMemfd(mapped);
        if (!fd || !sealSize(fd.get())) return qx::heapBlock(bytes);  // out of descriptors: still usable memory
        void* p = ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
        if (p == MAP_FAILED) return qx::heapBlock(bytes);
        // Peers map it read-only: this mapping is the only writer left.
        sealWrites(fd.get());
        r.fd = fd.release();
        r.data = p;
        r.mapped = mapped;
        return wrap(r, bytes);
    }
};

}  // namespace

void markShared(qx::Block* block) noexcept {
    if (auto* b = dynamic_cast<MemfdBlock*>(block)) b->owner()->tainted.store(true, std::memory_order_release);
}

std::uint64_t lend(qx::Block* block, std::uint64_t peer) noexcept {
    auto* b = dynamic_cast<MemfdBlock*>(block);
    if (!b) return 0;
    try {
        return loans().lend(b->owner(), peer);
    } catch (...) {
        markShared(block);  // sent without a loan: never reused
        return 0;
    }
}

void loanReturned(std::uint64_t peer, std::uint64_t id, bool reusable) noexcept {
    loans().returned(peer, id, reusable);
}

std::shared_ptr<qx::Block> reclaim(std::uint64_t peer, std::uint64_t id, std::size_t length) {
    auto owner = loans().find(peer, id);
    if (!owner || length > owner->r.mapped) return nullptr;
    return std::make_shared<MemfdBlock>(std::move(owner), length);
}

void forgetPeer(std::uint64_t peer) noexcept {
    loans().forget(peer);
}

std::size_t loanCount() {
    return loans().size();
}

void setPoolLimit(std::size_t blocks) {
    pool().setLimit(blocks);
}
std::size_t pooledBlockCount() {
    return pool().size();
}

}  // namespace shm

void installSharedMemoryAllocator() {
    // Every large block holds a descriptor, but the host's descriptor limit
    // is the host's: past it, blocks come from the heap and travel as copies.
    static const std::shared_ptr<qx::BlockAllocator> allocator = std::make_shared<shm::SharedMemoryAllocator>();
    qx::setBlockAllocator(allocator);
}

}  // namespace veldra::protocol
