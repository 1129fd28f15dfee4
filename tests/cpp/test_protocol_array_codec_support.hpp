#pragma once
// Helpers of the array codec tests: a simulated frame crossing, deep array
// comparison and allocator switching.
#include <veldra/protocol/array_codec.hpp>

#include <qx/block.hpp>
#include <qx/matrix.hpp>
#include <qx/qx.hpp>

#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace codec_test {

using veldra::protocol::OutgoingFds;
using veldra::protocol::UniqueFd;

class Session : public qx::ObjectSession {
public:
    explicit Session(std::uint64_t key) : key_(key) {}
    bool alive() const noexcept override { return true; }
    std::uint64_t key() const noexcept override { return key_; }

private:
    std::uint64_t key_;
};

// What the peer receives: the payload and its own copies of the descriptors,
// as SCM_RIGHTS would hand them over.
struct Wire {
    std::vector<std::uint8_t> payload;
    std::vector<int> raw;  // the sender's descriptors, for redelivery
    OutgoingFds out;
    std::vector<UniqueFd> received() const {
        std::vector<UniqueFd> fds;
        for (int fd : raw) fds.emplace_back(::dup(fd));
        return fds;
    }
};

inline Wire encode(const qxArray* a, const veldra::protocol::PeerLink* to = nullptr) {
    Wire w;
    veldra::protocol::PayloadWriter pw;
    veldra::protocol::encode_array(a, pw, w.out, to);
    w.payload = pw.take();
    w.raw = w.out.fds;
    return w;
}

inline matrix::unique_array_ptr decode(const Wire& w, const std::shared_ptr<const qx::ObjectSession>& session = nullptr,
                                       bool* done = nullptr, const veldra::protocol::PeerLink* from = nullptr) {
    veldra::protocol::PayloadReader in(w.payload);
    auto fds = w.received();
    auto a = veldra::protocol::decode_array(in, fds, session, from);
    if (done) *done = in.done();
    return a;
}

// "" when equal, else where they differ.
inline std::string diff(const qxArray* a, const qxArray* b, const std::string& at = "array") {
    if (!a || !b) return (a == b) ? "" : at + ": one is null";
    if (qxGetClassID(a) != qxGetClassID(b)) return at + ": class";
    if (qxGetNumberOfDimensions(a) != qxGetNumberOfDimensions(b)) return at + ": ndim";
    for (qxSize i = 0; i < qxGetNumberOfDimensions(a); ++i)
        if (qxGetDimensions(a)[i] != qxGetDimensions(b)[i]) return at + ": dims";
    if (qxIsComplex(a) != qxIsComplex(b) || qxIsSparse(a) != qxIsSparse(b)) return at + ": flags";
    const qxSize n = qxGetNumberOfElements(a);
    switch (qxGetClassID(a)) {
    case qxCELL_CLASS:
        for (qxSize i = 0; i < n; ++i) {
            auto d = diff(qxGetCell(a, i), qxGetCell(b, i), at + "{" + std::to_string(i) + "}");
            if (!d.empty()) return d;
        }
        return "";
    case qxSTRUCT_CLASS: {
        const int nf = qxGetNumberOfFields(a);
        if (nf != qxGetNumberOfFields(b)) return at + ": field count";
        for (int f = 0; f < nf; ++f) {
            if (std::strcmp(qxGetFieldNameByNumber(a, f), qxGetFieldNameByNumber(b, f)) != 0)
                return at + ": field name";
            for (qxSize i = 0; i < n; ++i) {
                auto d = diff(qxGetFieldByNumber(a, i, f), qxGetFieldByNumber(b, i, f),
                              at + "(" + std::to_string(i) + ")." + qxGetFieldNameByNumber(a, f));
                if (!d.empty()) return d;
            }
        }
        return "";
    }
    case qxFUNCTION_CLASS:
        return std::strcmp(qxGetFunctionName(a), qxGetFunctionName(b)) == 0 ? "" : at + ": name";
    case qxOBJECT_CLASS:
        if (n > 0 && std::memcmp(qx::objectIds(a), qx::objectIds(b), n * 8) != 0) return at + ": ids";
        return "";
    default:
        break;
    }
    std::size_t count = n;
    if (qxIsSparse(a)) {
        const qxSize cols = qxGetN(a);
        if (std::memcmp(qxGetJc(a), qxGetJc(b), (cols + 1) * 8) != 0) return at + ": jc";
        count = qxGetJc(a)[cols];
        if (count && std::memcmp(qxGetIr(a), qxGetIr(b), count * 8) != 0) return at + ": ir";
    }
    const std::size_t bytes = count * qxGetElementSize(a);
    if (bytes && std::memcmp(qxGetData(a), qxGetData(b), bytes) != 0) return at + ": real data";
    if (bytes && qxIsComplex(a) && std::memcmp(qxGetImagData(a), qxGetImagData(b), bytes) != 0)
        return at + ": imaginary data";
    return "";
}

// Fills every element block with a pattern derived from `seed`.
inline void fill(qxArray* a, unsigned seed) {
    const std::size_t bytes = qxGetNumberOfElements(a) * qxGetElementSize(a);
    auto put = [&](void* p, unsigned s) {
        auto* b = static_cast<std::uint8_t*>(p);
        for (std::size_t i = 0; p && i < bytes; ++i) b[i] = std::uint8_t(i * 131 + s);
    };
    put(qxGetData(a), seed);
    if (qxIsComplex(a)) put(qxGetImagData(a), seed + 7);
}

inline matrix::unique_array_ptr numeric(qxSize m, qxSize n, qxClassID cls, bool complex = false, unsigned seed = 1) {
    matrix::unique_array_ptr a(qxCreateNumericMatrix(m, n, cls, complex ? qxCOMPLEX : qxREAL));
    if (a) fill(a.get(), seed);
    return a;
}

inline int openFdCount() {
    int n = 0;
    if (DIR* d = ::opendir("/proc/self/fd")) {
        while (::readdir(d)) ++n;
        ::closedir(d);
    }
    return n;
}

// Installs the shared-memory allocator for a scope, then the heap one again.
struct SharedAllocatorScope {
    SharedAllocatorScope() { veldra::protocol::installSharedMemoryAllocator(); }
    ~SharedAllocatorScope() { qx::setBlockAllocator(nullptr); }
};

class CodecTest : public ::testing::Test {
protected:
    void SetUp() override { live_ = qxLiveArrayCount(); }
    void TearDown() override { EXPECT_EQ(qxLiveArrayCount(), live_) << "arrays left alive"; }
    std::size_t live_ = 0;
};

}  // namespace codec_test
