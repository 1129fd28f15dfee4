// Array codec: round trips, descriptors and malformed input.
#include "test_protocol_array_codec_support.hpp"

#include <veldra/protocol/frame.hpp>

#include <sys/mman.h>
#include <fcntl.h>

#include <functional>

using namespace codec_test;
using veldra::protocol::ArrayCodecError;
using veldra::protocol::PayloadReader;
using veldra::protocol::PayloadWriter;

namespace {

using Maker = std::function<matrix::unique_array_ptr()>;

matrix::unique_array_ptr sparseDouble(bool complex) {
    matrix::unique_array_ptr s(qxCreateSparse(4, 3, 5, complex ? qxCOMPLEX : qxREAL));
    qxSize* ir = qxGetIr(s.get());
    qxSize* jc = qxGetJc(s.get());
    const qxSize rows[] = {0, 3, 1, 2};
    const qxSize starts[] = {0, 2, 2, 4};
    std::memcpy(ir, rows, sizeof rows);
    std::memcpy(jc, starts, sizeof starts);
    auto* re = static_cast<double*>(qxGetData(s.get()));
    for (int k = 0; k < 4; ++k) re[k] = k + 0.5;
    if (complex)
        for (int k = 0; k < 4; ++k) static_cast<double*>(qxGetImagData(s.get()))[k] = -k;
    return s;
}

matrix::unique_array_ptr nestedStruct() {
    const char* outerNames[] = {"inner", "label", "none"};
    matrix::unique_array_ptr outer(qxCreateStructMatrix(1, 2, 3, outerNames));
    const char* innerNames[] = {"x", "y"};
    qxArray* inner = qxCreateStructMatrix(1, 1, 2, innerNames);
    qxSetFieldByNumber(inner, 0, 0, numeric(2, 2, qxDOUBLE_CLASS).release());  // y stays unset
    qxSetFieldByNumber(outer.get(), 0, 0, inner);
    qxSetFieldByNumber(outer.get(), 1, 1, matrix::create(u"text").release());
    return outer;
}

matrix::unique_array_ptr objects(std::shared_ptr<const qx::ObjectSession> s) {
    const std::uint64_t ids[] = {7, 1ull << 63, 42};
    const qxSize dims[] = {1, 3};
    return matrix::unique_array_ptr(qx::createObjectArray(2, dims, ids, std::move(s)));
}

struct Case {
    std::string name;
    Maker make;
};

std::vector<Case> roundTripCases() {
    std::vector<Case> cases;
    for (int c = qxDOUBLE_CLASS; c <= qxUINT64_CLASS; ++c)
        for (bool cx : {false, true})
            cases.push_back({"class" + std::to_string(c) + (cx ? "c" : "r"),
                             [c, cx] { return numeric(3, 5, qxClassID(c), cx, unsigned(c)); }});
    const qxSize nd[] = {2, 3, 4};
    const qxSize empty0[] = {0, 0};
    const qxSize empty5[] = {0, 5, 2};
    cases.push_back({"logical", [] { return numeric(4, 4, qxLOGICAL_CLASS); }});
    cases.push_back({"char", [] { return matrix::create(u"h\u00e9llo \U0001F600"); }});
    cases.push_back({"empty char", [] { return matrix::create(u""); }});
    cases.push_back({"empty double", [=] {
                         return matrix::unique_array_ptr(qxCreateNumericArray(2, empty0, qxDOUBLE_CLASS, qxREAL));
                     }});
    cases.push_back({"empty 3-d int8",
                     [=] { return matrix::unique_array_ptr(qxCreateNumericArray(3, empty5, qxINT8_CLASS, qxREAL)); }});
    cases.push_back({"3-d int16 complex", [=] {
                         matrix::unique_array_ptr a(qxCreateNumericArray(3, nd, qxINT16_CLASS, qxCOMPLEX));
                         fill(a.get(), 3);
                         return a;
                     }});
    cases.push_back({"sparse double", [] { return sparseDouble(false); }});
    cases.push_back({"sparse complex", [] { return sparseDouble(true); }});
    cases.push_back({"sparse logical", [] {
                         matrix::unique_array_ptr s(qxCreateSparseLogicalMatrix(3, 2, 2));
                         qxGetIr(s.get())[0] = 2;
                         qxGetJc(s.get())[1] = 1;
                         qxGetJc(s.get())[2] = 1;
                         static_cast<qxLogical*>(qxGetData(s.get()))[0] = 1;
                         return s;
                     }});
    cases.push_back({"empty sparse", [] { return matrix::unique_array_ptr(qxCreateSparse(0, 0, 1, qxREAL)); }});
    cases.push_back({"cell with unset slots", [] {
                         matrix::unique_array_ptr c(qxCreateCellMatrix(2, 3));
                         qxSetCell(c.get(), 1, numeric(1, 1, qxUINT8_CLASS).release());
                         qxSetCell(c.get(), 4, qxCreateCellMatrix(0, 0));
                         return c;
                     }});
    cases.push_back({"empty cell", [] { return matrix::unique_array_ptr(qxCreateCellMatrix(0, 3)); }});
    cases.push_back({"nested struct", nestedStruct});
    cases.push_back(
        {"struct without fields", [] { return matrix::unique_array_ptr(qxCreateStructMatrix(2, 2, 0, nullptr)); }});
    // Element counts far beyond memory, with nothing in the elements.
    cases.push_back({"huge struct without fields",
                     [] { return matrix::unique_array_ptr(qxCreateStructMatrix(1ull << 40, 1, 0, nullptr)); }});
    cases.push_back({"huge empty cell", [] { return matrix::unique_array_ptr(qxCreateCellMatrix(0, 1ull << 40)); }});
    cases.push_back({"function", [] { return matrix::unique_array_ptr(qxCreateFunctionHandle("engine.solve")); }});
    cases.push_back({"objects without session", [] { return objects(nullptr); }});
    cases.push_back({"empty objects", [] {
                         const qxSize dims[] = {0, 1};
                         return matrix::unique_array_ptr(
                             qx::createObjectArray(2, dims, nullptr, std::make_shared<Session>(5)));
                     }});
    cases.push_back({"large double", [] { return numeric(300, 300, qxDOUBLE_CLASS); }});
    cases.push_back({"large complex single", [] { return numeric(200, 200, qxSINGLE_CLASS, true); }});
    cases.push_back({"large sparse", [] {
                         matrix::unique_array_ptr s(qxCreateSparse(100, 20000, 10000, qxREAL));
                         for (qxSize k = 0; k < 10000; ++k) qxGetIr(s.get())[k] = k % 100;
                         for (qxSize j = 0; j <= 20000; ++j) qxGetJc(s.get())[j] = j / 2;
                         return s;
                     }});
    cases.push_back({"no array", [] { return matrix::unique_array_ptr(); }});
    return cases;
}

class RoundTrip : public CodecTest, public ::testing::WithParamInterface<bool> {};

TEST_P(RoundTrip, EveryKindOfArray) {
    std::unique_ptr<SharedAllocatorScope> shared;
    if (GetParam()) shared = std::make_unique<SharedAllocatorScope>();
    auto receiver = std::make_shared<Session>(5);
    for (const Case& c : roundTripCases()) {
        SCOPED_TRACE(c.name);
        auto a = c.make();
        ASSERT_EQ(a == nullptr, c.name == "no array");
        Wire w = encode(a.get());
        bool done = false;
        auto b = decode(w, receiver, &done);
        EXPECT_TRUE(done);
        EXPECT_EQ(diff(a.get(), b.get()), "");
        // Encoding is deterministic given the same blocks.
        EXPECT_EQ(encode(b.get()).payload.size(), w.payload.size());
    }
}
INSTANTIATE_TEST_SUITE_P(Allocators, RoundTrip, ::testing::Values(false, true),
                         [](const auto& p) { return p.param ? "shared" : "heap"; });

TEST_F(CodecTest, ObjectSessionsFollowTheKey) {
    auto mine = std::make_shared<Session>(11);
    auto other = std::make_shared<Session>(12);
    struct Row {
        std::shared_ptr<const qx::ObjectSession> sent, receiver, expected;
    } rows[] = {
        {mine, mine, mine},        // the receiver's own objects
        {other, mine, nullptr},    // someone else's: not a reference here
        {nullptr, mine, nullptr},  // no session at all
        {mine, nullptr, nullptr},
    };
    for (const Row& r : rows) {
        auto a = objects(r.sent);
        auto b = decode(encode(a.get()), r.receiver);
        EXPECT_EQ(diff(a.get(), b.get()), "");
        EXPECT_EQ(qx::objectSession(b.get()), r.expected);
    }
}

TEST_F(CodecTest, CopiedLargeBlockIsMappedNotShared) {
    auto a = numeric(256, 256, qxDOUBLE_CLASS);  // heap block: copied into a memfd
    Wire w = encode(a.get());
    ASSERT_EQ(w.out.fds.size(), 1u);
    EXPECT_EQ(w.out.owned.size(), 1u);
    EXPECT_LT(w.payload.size(), 200u);
    auto b = decode(w);
    ASSERT_GE(qx::realBlock(b.get())->fd(), 0);
    static_cast<double*>(qxGetData(a.get()))[5] = 123;
    EXPECT_NE(static_cast<double*>(qxGetData(b.get()))[5], 123);
}

TEST_F(CodecTest, SharedBlockTravelsWithoutCopy) {
    SharedAllocatorScope scope;
    auto a = numeric(256, 256, qxDOUBLE_CLASS, true);
    ASSERT_GE(qx::realBlock(a.get())->fd(), 0);
    Wire w = encode(a.get());
    ASSERT_EQ(w.out.fds.size(), 2u);
    EXPECT_EQ(w.out.keep.size(), 2u);
    EXPECT_TRUE(w.out.owned.empty());
    auto b = decode(w);
    ASSERT_EQ(diff(a.get(), b.get()), "");
    // Both mappings are the same memory (the receiver's read-only).
    static_cast<double*>(qxGetData(a.get()))[1000] = 4.25;
    static_cast<double*>(qxGetImagData(a.get()))[7] = -2.5;
    EXPECT_EQ(static_cast<double*>(qxGetData(b.get()))[1000], 4.25);
    EXPECT_EQ(static_cast<double*>(qxGetImagData(b.get()))[7], -2.5);
    // A decoded whole memfd goes on as it is.
    Wire again = encode(b.get());
    EXPECT_TRUE(again.out.owned.empty());
    EXPECT_EQ(again.out.keep.size(), 2u);
}

TEST_F(CodecTest, SharedCopiesTravelOnce) {
    auto big = numeric(300, 300, qxDOUBLE_CLASS);
    matrix::unique_array_ptr c(qxCreateCellMatrix(1, 2));
    qxSetCell(c.get(), 0, matrix::detail::shared_copy(big.get()));
    qxSetCell(c.get(), 1, matrix::detail::shared_copy(big.get()));
    Wire w = encode(c.get());
    EXPECT_EQ(w.out.fds.size(), 1u);
    auto d = decode(w);
    EXPECT_EQ(diff(c.get(), d.get()), "");
    EXPECT_EQ(qxGetData(qxGetCell(d.get(), 0)), qxGetData(qxGetCell(d.get(), 1)));
}

TEST_F(CodecTest, DescriptorLimitPacksTheRest) {
    for (bool sharedAlloc : {false, true}) {
        SCOPED_TRACE(sharedAlloc ? "shared" : "heap");
        std::unique_ptr<SharedAllocatorScope> scope;
        if (sharedAlloc) scope = std::make_unique<SharedAllocatorScope>();
        matrix::unique_array_ptr c(qxCreateCellMatrix(5, 8));
        for (qxSize i = 0; i < 40; ++i)  // sizes not page multiples, to exercise the packing offsets
            qxSetCell(c.get(), i, numeric(8200 + i, 1, qxDOUBLE_CLASS, false, unsigned(i)).release());
        // Another array already uses some of the frame's descriptors.
        OutgoingFds out;
        PayloadWriter pw;
        auto first = numeric(100, 100, qxDOUBLE_CLASS);
        veldra::protocol::encode_array(first.get(), pw, out);
        veldra::protocol::encode_array(c.get(), pw, out);
        EXPECT_EQ(out.fds.size(), veldra::protocol::kMaxFdsPerFrame);
        Wire w;
        w.payload = pw.take();
        w.raw = out.fds;
        PayloadReader in(w.payload);
        auto fds = w.received();
        auto a1 = veldra::protocol::decode_array(in, fds, nullptr);
        auto a2 = veldra::protocol::decode_array(in, fds, nullptr);
        EXPECT_TRUE(in.done());
        EXPECT_EQ(diff(first.get(), a1.get()), "");
        EXPECT_EQ(diff(c.get(), a2.get()), "");
        // A full frame takes more large blocks still, into the same pack,
        // which every array of the frame reads.
        auto small = numeric(3, 3, qxDOUBLE_CLASS);
        veldra::protocol::encode_array(small.get(), pw, out);
        veldra::protocol::encode_array(first.get(), pw, out);
        veldra::protocol::encode_array(c.get(), pw, out);
        EXPECT_EQ(out.fds.size(), veldra::protocol::kMaxFdsPerFrame);
        w.payload = pw.take();
        w.raw = out.fds;
        PayloadReader all(w.payload);
        fds = w.received();
        for (const qxArray* expected : {small.get(), first.get(), c.get()}) {
            auto got = veldra::protocol::decode_array(all, fds, nullptr);
            EXPECT_EQ(diff(expected, got.get()), "");
        }
        EXPECT_TRUE(all.done());
    }
}

// Nothing received can be written here, nor through the descriptor it came
// with: the sender reuses its memory.
TEST_F(CodecTest, ReceivedBlocksAreReadOnly) {
    for (bool sharedAlloc : {false, true}) {
        SCOPED_TRACE(sharedAlloc ? "memfd blocks" : "heap blocks");
        std::unique_ptr<SharedAllocatorScope> scope;
        if (sharedAlloc) scope = std::make_unique<SharedAllocatorScope>();
        // More than a frame's descriptors, so that some go in the pack.
        matrix::unique_array_ptr c(qxCreateCellMatrix(1, 20));
        for (qxSize i = 0; i < 20; ++i)
            qxSetCell(c.get(), i, numeric(9000, 1, qxDOUBLE_CLASS, false, unsigned(i)).release());
        Wire w = encode(c.get());
        auto d = decode(w);
        ASSERT_EQ(diff(c.get(), d.get()), "");
        for (qxSize i = 0; i < 20; ++i) {
            void* p = qxGetData(qxGetCell(d.get(), i));
            EXPECT_NE(::mprotect(p, 9000 * 8, PROT_READ | PROT_WRITE), 0) << "cell " << i;
        }
        for (int fd : w.raw) {
            void* p = ::mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
            EXPECT_EQ(p, MAP_FAILED);
            if (p != MAP_FAILED) ::munmap(p, 4096);
            EXPECT_EQ(::pwrite(fd, "x", 1, 0), -1);
        }
    }
}

matrix::unique_array_ptr nested(int levels) {
    matrix::unique_array_ptr a(qxCreateCellMatrix(1, 1));
    for (int i = 1; i < levels; ++i) {
        matrix::unique_array_ptr outer(qxCreateCellMatrix(1, 1));
        qxSetCell(outer.get(), 0, a.release());
        a = std::move(outer);
    }
    return a;
}

TEST_F(CodecTest, DepthIsLimited) {
    auto ok = nested(1000);
    auto back = decode(encode(ok.get()));
    EXPECT_EQ(diff(ok.get(), back.get()), "");
    auto deep = nested(1001);
    OutgoingFds out;
    PayloadWriter pw;
    EXPECT_THROW(veldra::protocol::encode_array(deep.get(), pw, out), ArrayCodecError);
    // The same nesting made by hand is refused by the reader.
    PayloadWriter hand;
    for (int i = 0; i < 1001; ++i) hand.u8(qxCELL_CLASS).u64(2).u64(1).u64(1);
    hand.u8(0);
    PayloadReader in(hand.data());
    std::vector<UniqueFd> none;
    EXPECT_THROW(veldra::protocol::decode_array(in, none, nullptr), ArrayCodecError);
}

// ---- malformed input -----------------------------------------------------------

matrix::unique_array_ptr composite() {
    matrix::unique_array_ptr c(qxCreateCellMatrix(1, 7));
    qxSetCell(c.get(), 0, nestedStruct().release());
    qxSetCell(c.get(), 1, sparseDouble(true).release());
    qxSetCell(c.get(), 2, objects(std::make_shared<Session>(3)).release());
    qxSetCell(c.get(), 3, qxCreateFunctionHandle("f"));
    qxSetCell(c.get(), 4, numeric(128, 128, qxDOUBLE_CLASS).release());  // by descriptor
    qxSetCell(c.get(), 6, matrix::create(u"abc").release());
    return c;
}

TEST_F(CodecTest, EveryTruncationIsRefused) {
    auto a = composite();
    Wire w = encode(a.get());
    ASSERT_EQ(w.raw.size(), 1u);
    const int openFds = openFdCount();
    for (std::size_t n = 0; n < w.payload.size(); ++n) {
        PayloadReader in(w.payload.data(), n);
        auto fds = w.received();
        EXPECT_THROW(veldra::protocol::decode_array(in, fds, nullptr), ArrayCodecError) << "length " << n;
    }
    EXPECT_EQ(openFdCount(), openFds);  // nothing taken and dropped on the floor
}

TEST_F(CodecTest, CorruptedBytesNeverCrash) {
    auto a = composite();
    Wire w = encode(a.get());
    for (std::size_t i = 0; i < w.payload.size(); ++i)
        for (std::uint8_t v : {std::uint8_t(0xff), std::uint8_t(0x80), std::uint8_t(0x00)}) {
            Wire bad;
            bad.payload = w.payload;
            bad.payload[i] ^= v ? v : bad.payload[i];
            bad.raw = w.raw;
            try {
                decode(bad);  // may decode to something else; must stay in bounds
            } catch (const ArrayCodecError&) {}
        }
}

UniqueFd sealedMemfd(std::size_t size, bool seal) {
    UniqueFd fd(::memfd_create("test", MFD_CLOEXEC | MFD_ALLOW_SEALING));
    EXPECT_EQ(::ftruncate(fd.get(), off_t(size)), 0);
    if (seal) ::fcntl(fd.get(), F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW);
    return fd;
}

TEST_F(CodecTest, MalformedInputIsRefused) {
    using W = PayloadWriter;
    auto dims = [](W& w, std::initializer_list<std::uint64_t> d) -> W& {
        w.u64(d.size());
        for (auto x : d) w.u64(x);
        return w;
    };
    struct Row {
        const char* name;
        const char* why;  // part of the message, so the intended check is the one that fired
        std::function<void(W&)> write;
        int fds = 0;  // sealed memfds of 64 KiB handed over
    };
    const Row rows[] = {
        {"void class", "unknown class", [&](W& w) { dims(w.u8(5), {1, 1}); }},
        {"class 18", "unknown class", [&](W& w) { dims(w.u8(18), {1, 1}); }},
        {"class 255", "unknown class", [&](W& w) { dims(w.u8(255), {1, 1}); }},
        {"scalar cell", "unknown class", [&](W& w) { w.u8(0x80 | 1).u64(0); }},
        {"scalar complex logical", "cannot be complex", [&](W& w) { w.u8(0x80 | 0x40 | 3).u8(1).u8(1); }},
        {"scalar truncated", "truncated", [&](W& w) { w.u8(0x80 | 6).u32(0); }},
        {"complex scalar truncated", "truncated", [&](W& w) { w.u8(0x80 | 0x40 | 6).u64(0); }},
        {"one dimension", "dimension count", [&](W& w) { dims(w.u8(6), {1}).u8(0).u8(0).u64(8).u64(0); }},
        {"huge ndim", "dimension count", [&](W& w) { w.u8(6).u64(1ull << 61); }},
        {"dims overflow", "dimensions too large", [&](W& w) { dims(w.u8(1), {1ull << 40, 1ull << 40}); }},
        {"huge cell", "cell larger", [&](W& w) { dims(w.u8(1), {1ull << 40, 1}).u8(0); }},
        {"huge double", "truncated", [&](W& w) { dims(w.u8(6), {1ull << 40, 1}).u8(0).u8(0).u64(8ull << 40); }},
        {"bad flags", "bad flags", [&](W& w) { dims(w.u8(6), {1, 1}).u8(4).u8(0).u64(8).u64(0); }},
        {"complex logical", "cannot be complex",
         [&](W& w) { dims(w.u8(3), {1, 1}).u8(1).u8(0).u64(1).u8(1).u8(0).u64(1).u8(1); }},
        {"sparse int8", "cannot be sparse", [&](W& w) { dims(w.u8(8), {1, 1}).u8(2).u64(1); }},
        {"sparse 3-d", "two dimensions", [&](W& w) { dims(w.u8(6), {1, 1, 2}).u8(2).u64(1); }},
        {"short block", "does not match", [&](W& w) { dims(w.u8(6), {2, 1}).u8(0).u8(0).u64(8).u64(0); }},
        {"long block", "does not match", [&](W& w) { dims(w.u8(6), {1, 1}).u8(0).u8(0).u64(16).u64(0).u64(0); }},
        {"block kind", "block kind", [&](W& w) { dims(w.u8(6), {1, 1}).u8(0).u8(4).u64(8).u64(0); }},
        {"unknown loan", "unknown loan", [&](W& w) { dims(w.u8(6), {8192, 1}).u8(0).u8(2).u64(65536).u64(77); }},
        {"zero block", "block length", [&](W& w) { dims(w.u8(6), {1, 1}).u8(0).u8(0).u64(0); }},
        {"missing imaginary", "truncated", [&](W& w) { dims(w.u8(6), {1, 1}).u8(1).u8(0).u64(8).u64(0); }},
        {"sparse jc start", "column starts",
         [&](W& w) {
             dims(w.u8(6), {2, 1}).u8(2).u64(1);
             w.u8(0).u64(8).u64(0).u8(0).u64(16).u64(1).u64(1).u8(0).u64(8).u64(0);
         }},
        {"sparse jc past nzmax", "column starts",
         [&](W& w) {
             dims(w.u8(6), {2, 1}).u8(2).u64(1);
             w.u8(0).u64(8).u64(0).u8(0).u64(16).u64(0).u64(2).u8(0).u64(8).u64(0);
         }},
        {"sparse row out of range", "row index",
         [&](W& w) {
             dims(w.u8(6), {2, 1}).u8(2).u64(1);
             w.u8(0).u64(8).u64(2).u8(0).u64(16).u64(0).u64(1).u8(0).u64(8).u64(0);
         }},
        {"sparse nzmax 0", "sparse sizes", [&](W& w) { dims(w.u8(6), {2, 1}).u8(2).u64(0); }},
        {"struct field count", "too many fields", [&](W& w) { dims(w.u8(2), {1, 1}).u32(0xffffffffu); }},
        {"struct bad name", "rejected", [&](W& w) { dims(w.u8(2), {1, 1}).u32(1).str("1x").u8(0); }},
        {"struct twice a name", "rejected", [&](W& w) { dims(w.u8(2), {1, 1}).u32(2).str("a").str("a").u8(0).u8(0); }},
        {"struct huge", "struct larger", [&](W& w) { dims(w.u8(2), {1ull << 30, 1}).u32(1).str("a").u8(0); }},
        {"function empty", "function name", [&](W& w) { dims(w.u8(16), {1, 1}).str(""); }},
        {"function nul", "function name", [&](W& w) { dims(w.u8(16), {1, 1}).str(std::string("a\0b", 3)); }},
        {"function 2x1", "1-by-1", [&](W& w) { dims(w.u8(16), {2, 1}).str("f"); }},
        {"objects count", "object count", [&](W& w) { dims(w.u8(17), {1, 2}).u64(1).u64(5).u8(0); }},
        {"objects huge", "object count", [&](W& w) { dims(w.u8(17), {1ull << 40, 1}).u64(1ull << 40); }},
        {"session flag", "session flag", [&](W& w) { dims(w.u8(17), {1, 1}).u64(1).u64(5).u8(2); }},
        {"fd index", "descriptor index",
         [&](W& w) { dims(w.u8(6), {8192, 1}).u8(0).u8(1).u64(65536).u32(1).u64(0).u64(0); }, 1},
        {"fd index huge", "descriptor index",
         [&](W& w) { dims(w.u8(6), {8192, 1}).u8(0).u8(1).u64(65536).u32(0xffffffffu).u64(0).u64(0); }, 1},
        {"fd past end", "outside",
         [&](W& w) { dims(w.u8(6), {16384, 1}).u8(0).u8(1).u64(131072).u32(0).u64(0).u64(0); }, 1},
        {"fd offset unaligned", "outside",
         [&](W& w) { dims(w.u8(6), {8, 1}).u8(0).u8(1).u64(64).u32(0).u64(8).u64(0); }, 1},
        {"fd offset past end", "outside",
         [&](W& w) { dims(w.u8(6), {8192, 1}).u8(0).u8(1).u64(65536).u32(0).u64(1ull << 62).u64(0); }, 1},
        {"fd offset overflow in a cell", "outside",
         [&](W& w) {
             dims(w.u8(1), {1, 1});
             dims(w.u8(6), {8192, 1}).u8(0).u8(1).u64(65536).u32(0).u64(1ull << 63).u64(0);
         },
         1},
        {"lent block at an offset", "not at the start",
         [&](W& w) { dims(w.u8(6), {8, 1}).u8(0).u8(1).u64(64).u32(0).u64(4096).u64(9); }, 1},
        {"pack index", "descriptor index", [&](W& w) { dims(w.u8(6), {8192, 1}).u8(0).u8(3).u64(65536).u32(1).u64(0); },
         1},
        {"pack past end", "outside", [&](W& w) { dims(w.u8(6), {8192, 1}).u8(0).u8(3).u64(65536).u32(0).u64(4096); },
         1},
        {"pack taken as a block", "both",
         [&](W& w) {
             dims(w.u8(6), {8192, 1}).u8(1).u8(3).u64(65536).u32(0).u64(0).u8(1).u64(65536).u32(0).u64(0).u64(0);
         },
         1},
        {"unsealed fd", "not sealed",
         [&](W& w) { dims(w.u8(6), {8192, 1}).u8(0).u8(1).u64(65536).u32(1).u64(0).u64(0); }, -1},
    };
    const int openFds = openFdCount();
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        W w;
        r.write(w);
        std::vector<UniqueFd> fds;
        for (int i = 0; i < std::abs(r.fds); ++i) fds.push_back(sealedMemfd(65536, true));
        if (r.fds < 0) fds.push_back(sealedMemfd(65536, false));
        PayloadReader in(w.data());
        try {
            veldra::protocol::decode_array(in, fds, nullptr);
            ADD_FAILURE() << "accepted";
        } catch (const ArrayCodecError& e) {
            EXPECT_NE(std::string(e.what()).find(r.why), std::string::npos) << e.what();
        }
    }
    EXPECT_EQ(openFdCount(), openFds);
}

TEST_F(CodecTest, DescriptorIsTakenOnce) {
    // Two arrays of one payload may not claim the same descriptor.
    auto a = numeric(128, 128, qxDOUBLE_CLASS);
    Wire w = encode(a.get());
    w.payload.insert(w.payload.end(), w.payload.begin(), w.payload.end());
    PayloadReader in(w.payload);
    auto fds = w.received();
    auto first = veldra::protocol::decode_array(in, fds, nullptr);
    EXPECT_EQ(diff(a.get(), first.get()), "");
    EXPECT_THROW(veldra::protocol::decode_array(in, fds, nullptr), ArrayCodecError);
}

}  // namespace
