// The array codec; the layout it reads and writes is described in
// array_codec.hpp.
#include <veldra/protocol/array_codec.hpp>
#include <veldra/protocol/frame.hpp>

#include "shm_block.hpp"

#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <utility>

namespace veldra::protocol {
namespace {

constexpr int kMaxDepth = 1000;
constexpr std::uint8_t kInline = 0;
constexpr std::uint8_t kFd = 1;
constexpr std::uint8_t kLoaned = 2;
constexpr std::uint8_t kPacked = 3;
constexpr std::uint8_t kScalarTag = 0x80;
constexpr std::uint8_t kComplexScalarTag = 0x40;
constexpr std::uint8_t kComplexFlag = 1;
constexpr std::uint8_t kSparseFlag = 2;

[[noreturn]] void fail(const std::string& why) {
    throw ArrayCodecError("array codec: " + why);
}

bool isElementClass(qxClassID c) {
    return c == qxLOGICAL_CLASS || c == qxCHAR_CLASS || (c >= qxDOUBLE_CLASS && c <= qxUINT64_CLASS);
}

std::size_t elementSize(qxClassID c) {
    return qxGetClassElementSize(c);
}

bool bytesOf(std::uint64_t count, std::size_t elem, std::size_t* out) {
    std::uint64_t b = 0;
    if (__builtin_mul_overflow(count, std::uint64_t(elem), &b) || b > std::uint64_t(PTRDIFF_MAX)) return false;
    *out = static_cast<std::size_t>(b);
    return true;
}

bool writeAll(int fd, const void* data, std::size_t n, std::size_t offset) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    while (n > 0) {
        ssize_t w = ::pwrite(fd, p, std::min<std::size_t>(n, std::size_t(1) << 30), static_cast<off_t>(offset));
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= static_cast<std::size_t>(w);
        offset += static_cast<std::size_t>(w);
    }
    return true;
}

// A received block keeps its descriptor, so that it can be sent on to
// another process as it is, only while the process keeps fewer such
// descriptors than a quarter of its open-file limit: one held result per
// descriptor would otherwise fill the table, and later calls could receive
// nothing.  A block beyond that keeps its mapping alone and is copied if it
// is sent on; going back to its lender needs only its loan id.
class KeptDescriptors {
public:
    static bool take() noexcept {
        std::size_t n = count_.load(std::memory_order_relaxed);
        const std::size_t most = limit();
        while (n < most)
            if (count_.compare_exchange_weak(n, n + 1, std::memory_order_relaxed)) return true;
        return false;
    }
    static void give() noexcept { count_.fetch_sub(1, std::memory_order_relaxed); }

private:
    static std::size_t limit() noexcept {
        static const std::size_t most = [] {
            rlimit r{};
            if (::getrlimit(RLIMIT_NOFILE, &r) != 0 || r.rlim_cur == RLIM_INFINITY) return std::size_t{1024};
            return std::max<std::size_t>(16, static_cast<std::size_t>(r.rlim_cur) / 4);
        }();
        return most;
    }
    static inline std::atomic<std::size_t> count_{0};
};

// Received memory mapped into this process.  A lent block reports its
// unmapping to the lender through the connection it came over.
class MappedBlock final : public qx::Block {
public:
    MappedBlock(void* data, std::size_t size, std::shared_ptr<UniqueFd> fd) : Block(data, size) {
        if (fd && KeptDescriptors::take()) fd_ = std::move(fd);
    }
    ~MappedBlock() override {
        if (fd_) KeptDescriptors::give();
        ::munmap(data_, size_);
        if (loan_ == 0) return;
        if (auto channel = channel_.lock())
            channel->send_loan_released(loan_, !escaped_.load(std::memory_order_acquire));
    }
    // Only a whole memfd can be sent on as it is (offset 0 on the wire).
    int fd() const noexcept override { return fd_ ? fd_->get() : -1; }

    void setLoan(std::uint64_t loan, const PeerLink& from) {
        loan_ = loan;
        peer_ = from.peer;
        channel_ = from.channel;
    }
    std::uint64_t loan() const noexcept { return loan_; }
    std::uint64_t lender() const noexcept { return peer_; }
    // Sent on to a process other than the lender, which may keep it.
    void escape() noexcept { escaped_.store(true, std::memory_order_release); }

private:
    std::shared_ptr<UniqueFd> fd_;
    std::uint64_t loan_ = 0;
    std::uint64_t peer_ = 0;
    std::weak_ptr<LoanChannel> channel_;
    std::atomic<bool> escaped_{false};
};

// ---- encoding ----------------------------------------------------------------

// A large block met while walking the array, in walk order.
struct LargeRef {
    const void* data;
    std::size_t length;
    std::shared_ptr<qx::Block> block;  // nullptr for sparse index blocks
};

// Where a large block's bytes travel.
struct Placement {
    std::uint32_t fd_index = 0;
    std::uint64_t offset = 0;
    std::uint64_t loan = 0;
    bool returned = false;  // the receiver's own block: only the loan id travels
    bool packed = false;    // a copy in the frame's pack
};

// The encoder walks the array twice: once to validate it and gather its large
// blocks (so that descriptors can be budgeted before anything is written),
// once to write it.
class Encoder {
public:
    explicit Encoder(const PeerLink* to) : to_(to) {}

    void collect(const qxArray* a, int depth) {
        if (!a) return;
        if (depth >= kMaxDepth) fail("array nested too deeply");
        const qxClassID cls = qxGetClassID(a);
        const qxSize numel = qxGetNumberOfElements(a);
        if (isElementClass(cls)) {
            forEachBlock(a, [&](const void* p, std::size_t n, std::shared_ptr<qx::Block> b) {
                if (n > 0 && !p) fail("element block missing");
                if (n >= kSharedBlockThreshold) refs_.push_back({p, n, std::move(b)});
            });
        } else if (cls == qxCELL_CLASS) {
            for (qxSize i = 0; i < numel; ++i) collect(qxGetCell(a, i), depth + 1);
        } else if (cls == qxSTRUCT_CLASS) {
            const int nf = qxGetNumberOfFields(a);
            // A struct without fields may have any number of elements and nothing in them.
            for (qxSize i = 0; nf > 0 && i < numel; ++i)
                for (int f = 0; f < nf; ++f) collect(qxGetFieldByNumber(a, i, f), depth + 1);
        } else if (cls == qxFUNCTION_CLASS) {
            if (!qxGetFunctionName(a)) fail("function value without a name");
        } else if (cls == qxOBJECT_CLASS) {
            if (numel > 0 && !qx::objectIds(a)) fail("object array without ids");
        } else {
            fail("class " + std::to_string(int(cls)) + " cannot be sent");
        }
    }

    // Decides a descriptor for every large block and makes the memfds needed.
    void place(OutgoingFds& out) {
        if (refs_.empty()) return;
        // Sources: one per distinct block, so shared copies travel once.
        struct Source {
            const void* data;
            std::size_t length;
            std::shared_ptr<qx::Block> block;
            bool direct;    // already a memfd: sent as it is
            bool returned;  // lent to us by the receiver: only its loan id travels
            std::uint32_t fd_index = 0;
            std::uint64_t offset = 0;
            std::uint64_t loan = 0;
            bool packed = false;
        };
        std::vector<Source> sources;
        std::vector<std::size_t> sourceOf(refs_.size());
        std::map<const void*, std::size_t> byKey;
        for (std::size_t i = 0; i < refs_.size(); ++i) {
            const LargeRef& r = refs_[i];
            const void* key = r.block ? static_cast<const void*>(r.block.get()) : r.data;
            auto it = byKey.find(key);
            if (it != byKey.end()) {
                Source& s = sources[it->second];
                s.length = std::max(s.length, r.length);
                sourceOf[i] = it->second;
                continue;
            }
            const bool whole = r.block && r.block->data() == r.data && r.block->size() >= r.length;
            const auto* mapped = dynamic_cast<const MappedBlock*>(r.block.get());
            const bool returned = whole && mapped && mapped->loan() != 0 && to_ && mapped->lender() == to_->peer;
            const bool direct = !returned && whole && r.block->fd() >= 0;
            byKey.emplace(key, sources.size());
            sourceOf[i] = sources.size();
            sources.push_back({r.data, r.length, r.block, direct, returned});
            if (returned) sources.back().loan = mapped->loan();
        }

        // The frame's last descriptor is kept for the pack: blocks beyond the
        // others are copied into it, whatever arrays of the frame they are in,
        // so that a frame carries any number of large blocks.
        const std::size_t ownLimit = kMaxFdsPerFrame - 1;
        const std::size_t ownUsed = out.fds.size() - (out.pack ? 1 : 0);
        const std::size_t budget = ownUsed >= ownLimit ? 0 : ownLimit - ownUsed;
        std::vector<std::size_t> order;
        for (std::size_t i = 0; i < sources.size(); ++i)
            if (!sources[i].returned) order.push_back(i);
        // Memfd blocks keep their own descriptors first (no copy).
        std::stable_partition(order.begin(), order.end(), [&](std::size_t i) { return sources[i].direct; });

        std::vector<int> newFds;
        std::vector<std::shared_ptr<qx::Block>> newKeep;
        std::vector<UniqueFd> newOwned;
        auto nextIndex = [&] { return static_cast<std::uint32_t>(out.fds.size() + newFds.size()); };
        std::size_t packEnd = out.pack ? out.pack->bytes : 0;
        bool packing = false;
        for (std::size_t k = 0; k < order.size(); ++k) {
            Source& s = sources[order[k]];
            if (k >= budget) {
                std::size_t rounded = 0;
                if (!shm::pageRound(s.length, &rounded) || packEnd > SIZE_MAX - rounded)
                    fail("blocks too large to pack");
                s.packed = packing = true;
                s.offset = packEnd;
                packEnd += rounded;
                continue;
            }
            s.fd_index = nextIndex();
            if (s.direct) {
                newFds.push_back(s.block->fd());
                newKeep.push_back(s.block);
            } else {
                UniqueFd fd = shm::createMemfd(s.length);
                if (!fd || !writeAll(fd.get(), s.data, s.length, 0) || !shm::sealSize(fd.get()))
                    fail(std::string("cannot make a memfd: ") + std::strerror(errno));
                shm::sealWrites(fd.get());
                newFds.push_back(fd.get());
                newOwned.push_back(std::move(fd));
            }
        }
        // The pack grows as arrays are added; it is the receiver's to read
        // only (a descriptor opened read-only), the sender's to write.
        std::shared_ptr<OutgoingFds::Pack> newPack;
        OutgoingFds::Pack* pack = out.pack.get();
        if (packing && !pack) {
            newPack = std::make_shared<OutgoingFds::Pack>();
            newPack->writable = shm::createMemfd(0);
            if (!newPack->writable || !shm::sealShrinking(newPack->writable.get()))
                fail(std::string("cannot make a memfd: ") + std::strerror(errno));
            newPack->readable = shm::reopenReadOnly(newPack->writable.get());
            if (!newPack->readable) fail(std::string("cannot make a memfd: ") + std::strerror(errno));
            newPack->index = nextIndex();
            pack = newPack.get();
        }
        if (packing) {
            if (packEnd > static_cast<std::size_t>(INT64_MAX) ||
                ::ftruncate(pack->writable.get(), static_cast<off_t>(packEnd)) != 0)
                fail(std::string("cannot grow a memfd: ") + std::strerror(errno));
            for (Source& s : sources) {
                if (!s.packed) continue;
                s.fd_index = pack->index;
                if (!writeAll(pack->writable.get(), s.data, s.length, s.offset)) fail("cannot fill a memfd");
            }
        }
        // Blocks going back stay alive until the frame is out, so that their
        // release notice cannot overtake it.
        for (const Source& s : sources)
            if (s.returned) newKeep.push_back(s.block);

        placements_.resize(refs_.size());
        // Nothing below throws but allocation; commit in one go.
        out.fds.reserve(out.fds.size() + newFds.size() + 1);
        out.keep.reserve(out.keep.size() + newKeep.size());
        out.owned.reserve(out.owned.size() + newOwned.size());
        for (Source& s : sources) {
            if (!s.direct || s.packed) continue;
            // The peer may see it from now on.  Our own memory is lent to a
            // peer that reports back; anything else is shared for good.
            if (auto* mapped = dynamic_cast<MappedBlock*>(s.block.get())) mapped->escape();
            else if (to_) s.loan = shm::lend(s.block.get(), to_->peer);
            else shm::markShared(s.block.get());
        }
        for (std::size_t i = 0; i < refs_.size(); ++i) {
            const Source& s = sources[sourceOf[i]];
            placements_[i] = {s.fd_index, s.offset, s.loan, s.returned, s.packed};
        }
        out.fds.insert(out.fds.end(), newFds.begin(), newFds.end());
        for (auto& b : newKeep) out.keep.push_back(std::move(b));
        for (auto& f : newOwned) out.owned.push_back(std::move(f));
        if (newPack) {
            out.fds.push_back(newPack->readable.get());
            out.pack = std::move(newPack);
        }
        if (packing) out.pack->bytes = packEnd;
    }

    void write(const qxArray* a, PayloadWriter& w) {
        if (!a) {
            w.u8(0);
            return;
        }
        const qxClassID cls = qxGetClassID(a);
        if (isElementClass(cls) && qxIsScalar(a) && !qxIsSparse(a)) {
            const std::size_t es = elementSize(cls);
            const bool complex = qxIsComplex(a);
            w.u8(static_cast<std::uint8_t>(cls | kScalarTag | (complex ? kComplexScalarTag : 0)));
            w.bytes(qxGetData(a), es);
            if (complex) w.bytes(qxGetImagData(a), es);
            return;
        }
        w.u8(static_cast<std::uint8_t>(cls));
        const qxSize ndim = qxGetNumberOfDimensions(a);
        const qxSize* dims = qxGetDimensions(a);
        w.u64(ndim);
        for (qxSize i = 0; i < ndim; ++i) w.u64(dims[i]);
        const qxSize numel = qxGetNumberOfElements(a);
        if (isElementClass(cls)) {
            std::uint8_t flags = 0;
            if (qxIsComplex(a)) flags |= kComplexFlag;
            if (qxIsSparse(a)) flags |= kSparseFlag;
            w.u8(flags);
            if (qxIsSparse(a)) w.u64(qxGetNzmax(a));
            forEachBlock(a,
                         [&](const void* p, std::size_t n, const std::shared_ptr<qx::Block>&) { writeBlock(w, p, n); });
        } else if (cls == qxCELL_CLASS) {
            for (qxSize i = 0; i < numel; ++i) write(qxGetCell(a, i), w);
        } else if (cls == qxSTRUCT_CLASS) {
            const int nf = qxGetNumberOfFields(a);
            w.u32(static_cast<std::uint32_t>(nf));
            for (int f = 0; f < nf; ++f) w.str(qxGetFieldNameByNumber(a, f));
            for (qxSize i = 0; nf > 0 && i < numel; ++i)
                for (int f = 0; f < nf; ++f) write(qxGetFieldByNumber(a, i, f), w);
        } else if (cls == qxFUNCTION_CLASS) {
            w.str(qxGetFunctionName(a));
        } else {  // object, as collect() checked
            const std::uint64_t* ids = qx::objectIds(a);
            w.u64(numel);
            for (qxSize i = 0; i < numel; ++i) w.u64(ids[i]);
            auto session = qx::objectSession(a);
            w.u8(session ? 1 : 0);
            if (session) w.u64(session->key());
        }
    }

private:
    // The blocks of a numeric, logical or char array in wire order.
    template <typename F>
    static void forEachBlock(const qxArray* a, F&& f) {
        const std::size_t es = qxGetElementSize(a);
        if (qxIsSparse(a)) {
            std::size_t irBytes = 0, jcBytes = 0, valueBytes = 0;
            const qxSize nzmax = qxGetNzmax(a);
            if (!bytesOf(nzmax, sizeof(qxSize), &irBytes) || !bytesOf(qxGetN(a) + 1, sizeof(qxSize), &jcBytes) ||
                !bytesOf(nzmax, es, &valueBytes))
                fail("sparse array too large");
            f(qxGetIr(a), irBytes, nullptr);
            f(qxGetJc(a), jcBytes, nullptr);
            f(qxGetData(a), valueBytes, qx::realBlock(a));
            if (qxIsComplex(a)) f(qxGetImagData(a), valueBytes, qx::imagBlock(a));
            return;
        }
        std::size_t bytes = 0;
        if (!bytesOf(qxGetNumberOfElements(a), es, &bytes)) fail("array too large");
        if (bytes == 0) return;
        f(qxGetData(a), bytes, qx::realBlock(a));
        if (qxIsComplex(a)) f(qxGetImagData(a), bytes, qx::imagBlock(a));
    }

    void writeBlock(PayloadWriter& w, const void* p, std::size_t n) {
        if (n < kSharedBlockThreshold) {
            w.u8(kInline).u64(n).bytes(p, n);
            return;
        }
        const Placement& pl = placements_.at(next_++);
        if (pl.returned) w.u8(kLoaned).u64(n).u64(pl.loan);
        else if (pl.packed) w.u8(kPacked).u64(n).u32(pl.fd_index).u64(pl.offset);
        else w.u8(kFd).u64(n).u32(pl.fd_index).u64(pl.offset).u64(pl.loan);
    }

    const PeerLink* to_;
    std::vector<LargeRef> refs_;
    std::vector<Placement> placements_;
    std::size_t next_ = 0;
};

// ---- decoding ----------------------------------------------------------------

// A block as read: inline bytes in the payload or a mapped region.
struct InBlock {
    const std::uint8_t* bytes = nullptr;
    std::shared_ptr<qx::Block> mapped;
    std::size_t length = 0;
    const void* data() const { return bytes ? static_cast<const void*>(bytes) : mapped->data(); }
};

class Decoder {
public:
    Decoder(PayloadReader& in, std::vector<UniqueFd>& fds, const std::shared_ptr<const qx::ObjectSession>& session,
            const PeerLink* from)
        : in_(in), fds_(fds), session_(session), from_(from) {}

    matrix::unique_array_ptr read(int depth) {
        const std::uint8_t tag = in_.u8();
        check();
        if (tag == 0) return nullptr;
        if (depth >= kMaxDepth) fail("array nested too deeply");
        if (tag & kScalarTag) return readScalar(tag);
        const auto cls = static_cast<qxClassID>(tag);
        const bool known = isElementClass(cls) || cls == qxCELL_CLASS || cls == qxSTRUCT_CLASS ||
                           cls == qxFUNCTION_CLASS || cls == qxOBJECT_CLASS;
        if (!known) fail("unknown class " + std::to_string(int(tag)));

        const std::uint64_t ndim = in_.u64();
        check();
        if (ndim < 2 || ndim > in_.remaining() / 8) fail("bad dimension count");
        std::vector<qxSize> dims(static_cast<std::size_t>(ndim));
        qxSize nonzero = 1;
        bool empty = false;
        for (auto& d : dims) {
            d = in_.u64();
            if (d == 0) empty = true;
            else if (__builtin_mul_overflow(nonzero, d, &nonzero)) fail("dimensions too large");
        }
        check();
        const qxSize numel = empty ? 0 : nonzero;

        if (isElementClass(cls)) return readElements(cls, dims, numel);
        if (cls == qxCELL_CLASS) return readCell(dims, numel, depth);
        if (cls == qxSTRUCT_CLASS) return readStruct(dims, numel, depth);
        if (cls == qxFUNCTION_CLASS) return readFunction(dims, numel);
        return readObjects(dims, numel);
    }

private:
    void check() {
        if (!in_.ok()) fail("payload truncated");
    }

    matrix::unique_array_ptr readScalar(std::uint8_t tag) {
        const auto cls = static_cast<qxClassID>(tag & ~(kScalarTag | kComplexScalarTag));
        const bool complex = tag & kComplexScalarTag;
        if (!isElementClass(cls)) fail("unknown class " + std::to_string(int(cls)) + " of a scalar");
        if (complex && !(cls >= qxDOUBLE_CLASS && cls <= qxUINT64_CLASS)) fail("class cannot be complex");
        const std::size_t es = elementSize(cls);
        const std::uint8_t* re = in_.bytes(es);
        const std::uint8_t* im = complex ? in_.bytes(es) : nullptr;
        check();
        const qxSize one[2] = {1, 1};
        auto a = made(cls == qxCHAR_CLASS ? qxCreateCharArray(2, one)
                                          : qxCreateNumericArray(2, one, cls, complex ? qxCOMPLEX : qxREAL));
        std::memcpy(qxGetData(a.get()), re, es);
        if (complex) std::memcpy(qxGetImagData(a.get()), im, es);
        return a;
    }

    static matrix::unique_array_ptr made(qxArray* a) {
        if (!a) fail("array rejected or out of memory");
        return matrix::unique_array_ptr(a);
    }

    InBlock readBlock() {
        InBlock b;
        const std::uint8_t kind = in_.u8();
        const std::uint64_t length = in_.u64();
        check();
        if (length == 0 || length > std::uint64_t(PTRDIFF_MAX)) fail("bad block length");
        b.length = static_cast<std::size_t>(length);
        if (kind == kInline) {
            b.bytes = in_.bytes(b.length);
            check();
            return b;
        }
        if (kind == kLoaned) {
            const std::uint64_t loan = in_.u64();
            check();
            if (from_) b.mapped = shm::reclaim(from_->peer, loan, b.length);
            if (!b.mapped) fail("block of an unknown loan");
            return b;
        }
        if (kind == kPacked) {
            const std::uint32_t index = in_.u32();
            const std::uint64_t offset = in_.u64();
            check();
            b.mapped = map(index, offset, b.length, false);
            return b;
        }
        if (kind != kFd) fail("bad block kind");
        const std::uint32_t index = in_.u32();
        const std::uint64_t offset = in_.u64();
        const std::uint64_t loan = in_.u64();
        check();
        if (loan != 0 && offset != 0) fail("lent block not at the start of its descriptor");
        b.mapped = map(index, offset, b.length, true);
        if (loan != 0 && from_) {
            auto* mapped = static_cast<MappedBlock*>(b.mapped.get());
            if (mapped->loan() == 0) mapped->setLoan(loan, *from_);
        }
        return b;
    }

    struct Received {
        std::shared_ptr<UniqueFd> owned;  // taken from the frame
        int fd = -1;
        bool taken = false;
        std::uint64_t size = 0;
    };

    // Maps a block of descriptor `index`.  A descriptor of its own is taken
    // from the frame (its mapping can be sent on); the pack stays with the
    // frame, every array of which may have blocks in it.
    std::shared_ptr<qx::Block> map(std::uint32_t index, std::uint64_t offset, std::size_t length, bool take) {
        auto it = received_.find(index);
        if (it == received_.end()) {
            if (index >= fds_.size() || !fds_[index]) fail("bad descriptor index");
            Received r;
            r.taken = take;
            if (take) {
                r.owned = std::make_shared<UniqueFd>(std::move(fds_[index]));
                r.fd = r.owned->get();
            } else {
                r.fd = fds_[index].get();
            }
            struct stat st{};
            if (::fstat(r.fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0) fail("descriptor is no memory file");
            // Without these seals the peer could shrink the file under our mapping.
            const int seals = ::fcntl(r.fd, F_GET_SEALS);
            if (seals < 0 || !(seals & F_SEAL_SHRINK)) fail("descriptor is not sealed");
            r.size = static_cast<std::uint64_t>(st.st_size);
            it = received_.emplace(index, std::move(r)).first;
        }
        const Received& r = it->second;
        if (r.taken != take) fail("descriptor used both as a block and as a pack");
        const auto key = std::make_tuple(index, offset, length);
        if (auto m = mapped_.find(key); m != mapped_.end()) return m->second;
        if (offset % shm::pageSize() != 0 || offset > r.size || length > r.size - offset)
            fail("block outside its descriptor");
        // Read-only: the lender reuses the memory once we let go, so nothing
        // here may write into it.
        void* p = ::mmap(nullptr, length, PROT_READ, MAP_SHARED, r.fd, static_cast<off_t>(offset));
        if (p == MAP_FAILED) fail(std::string("cannot map a block: ") + std::strerror(errno));
        std::shared_ptr<qx::Block> block;
        try {
            block = std::make_shared<MappedBlock>(p, length, take && offset == 0 ? r.owned : nullptr);
        } catch (...) {
            ::munmap(p, length);
            throw;
        }
        mapped_.emplace(key, block);
        return block;
    }

    // A block the array can own: mapped ones as they are, inline ones copied.
    static std::shared_ptr<qx::Block> own(const InBlock& b) {
        if (b.mapped) return b.mapped;
        auto block = qx::newBlock(b.length);
        if (!block) fail("out of memory");
        std::memcpy(block->data(), b.bytes, b.length);
        return block;
    }

    matrix::unique_array_ptr readElements(qxClassID cls, const std::vector<qxSize>& dims, qxSize numel) {
        const std::uint8_t flags = in_.u8();
        check();
        if (flags & ~(kComplexFlag | kSparseFlag)) fail("bad flags");
        const bool complex = flags & kComplexFlag;
        const bool sparse = flags & kSparseFlag;
        if (complex && !(cls >= qxDOUBLE_CLASS && cls <= qxUINT64_CLASS)) fail("class cannot be complex");
        const std::size_t es = elementSize(cls);
        if (sparse) return readSparse(cls, dims, complex, es);

        std::size_t bytes = 0;
        if (!bytesOf(numel, es, &bytes)) fail("array too large");
        if (bytes == 0) {
            if (cls == qxCHAR_CLASS) return made(qxCreateCharArray(dims.size(), dims.data()));
            return made(qxCreateNumericArray(dims.size(), dims.data(), cls, complex ? qxCOMPLEX : qxREAL));
        }
        InBlock re = readBlock();
        if (re.length != bytes) fail("block length does not match the array");
        InBlock im;
        if (complex) {
            im = readBlock();
            if (im.length != bytes) fail("block length does not match the array");
        }
        auto real = own(re);
        auto imag = complex ? own(im) : nullptr;
        return made(qx::createArrayOverBlocks(dims.size(), dims.data(), cls, std::move(real), std::move(imag)));
    }

    matrix::unique_array_ptr readSparse(qxClassID cls, const std::vector<qxSize>& dims, bool complex, std::size_t es) {
        if (cls != qxDOUBLE_CLASS && cls != qxLOGICAL_CLASS) fail("class cannot be sparse");
        if (dims.size() != 2) fail("sparse array with more than two dimensions");
        const qxSize m = dims[0], n = dims[1];
        const std::uint64_t nzmax = in_.u64();
        check();
        std::size_t irBytes = 0, jcBytes = 0, valueBytes = 0;
        if (nzmax == 0 || n == UINT64_MAX || !bytesOf(nzmax, sizeof(qxSize), &irBytes) ||
            !bytesOf(n + 1, sizeof(qxSize), &jcBytes) || !bytesOf(nzmax, es, &valueBytes))
            fail("bad sparse sizes");
        // Every length is checked against what arrived before the array is made.
        InBlock ir = readBlock();
        InBlock jc = readBlock();
        InBlock re = readBlock();
        InBlock im;
        if (complex) im = readBlock();
        if (ir.length != irBytes || jc.length != jcBytes || re.length != valueBytes ||
            (complex && im.length != valueBytes))
            fail("block length does not match the array");
        auto a = made(cls == qxLOGICAL_CLASS ? qxCreateSparseLogicalMatrix(m, n, nzmax)
                                             : qxCreateSparse(m, n, nzmax, complex ? qxCOMPLEX : qxREAL));
        qxSize* irOut = qxGetIr(a.get());
        qxSize* jcOut = qxGetJc(a.get());
        std::memcpy(irOut, ir.data(), irBytes);
        std::memcpy(jcOut, jc.data(), jcBytes);
        std::memcpy(qxGetData(a.get()), re.data(), valueBytes);
        if (complex) std::memcpy(qxGetImagData(a.get()), im.data(), valueBytes);
        // Checked on the private copy: the peer may still write the shared one.
        if (jcOut[0] != 0) fail("bad sparse column starts");
        for (qxSize j = 0; j < n; ++j)
            if (jcOut[j + 1] < jcOut[j]) fail("bad sparse column starts");
        if (jcOut[n] > nzmax) fail("bad sparse column starts");
        for (qxSize k = 0; k < jcOut[n]; ++k)
            if (irOut[k] >= m) fail("bad sparse row index");
        return a;
    }

    matrix::unique_array_ptr readCell(const std::vector<qxSize>& dims, qxSize numel, int depth) {
        if (numel > in_.remaining()) fail("cell larger than the payload");  // a byte per slot at least
        auto cell = made(qxCreateCellArray(dims.size(), dims.data()));
        for (qxSize i = 0; i < numel; ++i) {
            auto member = read(depth + 1);
            if (member && !qxSetCell(cell.get(), i, member.release())) fail("cannot fill a cell");
        }
        return cell;
    }

    matrix::unique_array_ptr readStruct(const std::vector<qxSize>& dims, qxSize numel, int depth) {
        const std::uint32_t nfields = in_.u32();
        check();
        if (nfields > in_.remaining() / 4 || nfields > std::uint32_t(INT_MAX)) fail("too many fields");
        std::vector<std::string> names(nfields);
        std::vector<const char*> ptrs(nfields);
        for (std::uint32_t f = 0; f < nfields; ++f) {
            names[f] = in_.str();
            check();
            if (names[f].find('\0') != std::string::npos) fail("bad field name");
            ptrs[f] = names[f].c_str();
        }
        qxSize slots = 0;
        if (__builtin_mul_overflow(numel, qxSize(nfields), &slots) || slots > in_.remaining())
            fail("struct larger than the payload");
        auto s = made(qxCreateStructArray(dims.size(), dims.data(), static_cast<int>(nfields), ptrs.data()));
        for (qxSize i = 0; nfields > 0 && i < numel; ++i)
            for (std::uint32_t f = 0; f < nfields; ++f) {
                auto value = read(depth + 1);
                if (value && !qxSetFieldByNumber(s.get(), i, static_cast<int>(f), value.release()))
                    fail("cannot fill a struct");
            }
        return s;
    }

    matrix::unique_array_ptr readFunction(const std::vector<qxSize>& dims, qxSize numel) {
        if (dims.size() != 2 || numel != 1) fail("function value that is not 1-by-1");
        const std::string name = in_.str();
        check();
        if (name.empty() || name.find('\0') != std::string::npos) fail("bad function name");
        return made(qxCreateFunctionHandle(name.c_str()));
    }

    matrix::unique_array_ptr readObjects(const std::vector<qxSize>& dims, qxSize numel) {
        const std::uint64_t count = in_.u64();
        check();
        if (count != numel || count > in_.remaining() / 8) fail("bad object count");
        std::vector<std::uint64_t> ids(static_cast<std::size_t>(count));
        for (auto& id : ids) id = in_.u64();
        const std::uint8_t hasSession = in_.u8();
        check();
        if (hasSession > 1) fail("bad session flag");
        std::shared_ptr<const qx::ObjectSession> session;
        if (hasSession) {
            const std::uint64_t key = in_.u64();
            check();
            if (session_ && session_->key() == key) session = session_;
        }
        auto a = made(qx::createObjectArray(dims.size(), dims.data(), ids.data(), session));
        if (session && !ids.empty()) session->received(ids.data(), ids.size());
        return a;
    }

    PayloadReader& in_;
    std::vector<UniqueFd>& fds_;
    const std::shared_ptr<const qx::ObjectSession>& session_;
    const PeerLink* from_;
    std::map<std::uint32_t, Received> received_;
    std::map<std::tuple<std::uint32_t, std::uint64_t, std::size_t>, std::shared_ptr<qx::Block>> mapped_;
};

// Reads an array's structure without making it, for a frame whose
// descriptors were lost: every loan in it goes back to the lender unused.
class LoanSkipper {
public:
    LoanSkipper(PayloadReader& in, const PeerLink& from) : in_(in), from_(from) {}

    void skip(int depth) {
        const std::uint8_t tag = in_.u8();
        check();
        if (tag == 0) return;
        if (depth >= kMaxDepth) fail("array nested too deeply");
        if (tag & kScalarTag) {
            const auto cls = static_cast<qxClassID>(tag & ~(kScalarTag | kComplexScalarTag));
            if (!isElementClass(cls)) fail("unknown class of a scalar");
            in_.bytes(elementSize(cls) * ((tag & kComplexScalarTag) ? 2 : 1));
            check();
            return;
        }
        const auto cls = static_cast<qxClassID>(tag);
        const std::uint64_t ndim = in_.u64();
        check();
        if (ndim < 2 || ndim > in_.remaining() / 8) fail("bad dimension count");
        qxSize numel = 1;
        bool empty = false;
        for (std::uint64_t i = 0; i < ndim; ++i) {
            const std::uint64_t d = in_.u64();
            if (d == 0) empty = true;
            else if (__builtin_mul_overflow(numel, d, &numel)) fail("dimensions too large");
        }
        check();
        if (empty) numel = 0;
        if (isElementClass(cls)) {
            const std::uint8_t flags = in_.u8();
            check();
            std::size_t bytes = 0;
            if (!bytesOf(numel, elementSize(cls), &bytes)) fail("array too large");
            int blocks = (flags & kComplexFlag) ? 2 : 1;
            if (flags & kSparseFlag) {
                in_.u64();
                blocks += 2;
            } else if (bytes == 0) {
                blocks = 0;
            }
            for (int b = 0; b < blocks; ++b) skipBlock();
        } else if (cls == qxCELL_CLASS) {
            if (numel > in_.remaining()) fail("cell larger than the payload");
            for (qxSize i = 0; i < numel; ++i) skip(depth + 1);
        } else if (cls == qxSTRUCT_CLASS) {
            const std::uint32_t nf = in_.u32();
            check();
            if (nf > in_.remaining() / 4) fail("too many fields");
            for (std::uint32_t f = 0; f < nf; ++f) in_.str();
            check();
            qxSize slots = 0;
            if (__builtin_mul_overflow(numel, qxSize(nf), &slots) || slots > in_.remaining())
                fail("struct larger than the payload");
            for (qxSize i = 0; i < slots; ++i) skip(depth + 1);
        } else if (cls == qxFUNCTION_CLASS) {
            in_.str();
        } else if (cls == qxOBJECT_CLASS) {
            const std::uint64_t count = in_.u64();
            check();
            if (count > in_.remaining() / 8) fail("bad object count");
            for (std::uint64_t i = 0; i < count; ++i) in_.u64();
            if (in_.u8()) in_.u64();
        } else {
            fail("unknown class " + std::to_string(int(tag)));
        }
        check();
    }

private:
    void check() {
        if (!in_.ok()) fail("payload truncated");
    }
    void skipBlock() {
        const std::uint8_t kind = in_.u8();
        const std::uint64_t length = in_.u64();
        check();
        if (kind == kInline) {
            if (length > in_.remaining()) fail("payload truncated");
            in_.bytes(static_cast<std::size_t>(length));
        } else if (kind == kLoaned) {
            in_.u64();
        } else if (kind == kPacked) {
            in_.u32();
            in_.u64();
        } else if (kind == kFd) {
            const std::uint32_t index = in_.u32();
            in_.u64();
            const std::uint64_t loan = in_.u64();
            check();
            if (loan != 0 && released_.insert(index).second)
                if (auto channel = from_.channel.lock()) channel->send_loan_released(loan, true);
        } else {
            fail("bad block kind");
        }
        check();
    }

    PayloadReader& in_;
    const PeerLink& from_;
    std::set<std::uint32_t> released_;
};

}  // namespace

void encode_array(const qxArray* a, PayloadWriter& out, OutgoingFds& fds, const PeerLink* to) {
    Encoder enc(to);
    enc.collect(a, 0);
    enc.place(fds);
    enc.write(a, out);
}

matrix::unique_array_ptr decode_array(PayloadReader& in, std::vector<UniqueFd>& fds,
                                      const std::shared_ptr<const qx::ObjectSession>& session, const PeerLink* from) {
    Decoder dec(in, fds, session, from);
    return dec.read(0);
}

void release_lost_loans(PayloadReader& in, std::uint32_t count, const PeerLink& from) noexcept {
    try {
        for (std::uint32_t i = 0; i < count; ++i) LoanSkipper(in, from).skip(0);
    } catch (...) {
        // Malformed: what was read so far went back.
    }
}

}  // namespace veldra::protocol
