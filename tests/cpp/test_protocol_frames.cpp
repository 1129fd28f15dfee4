// Frame codec, payload fields and the heads of the call messages: round
// trips through every chunking, and malformed input failing for good
// without over-allocating.
#include <veldra/protocol/call_messages.hpp>
#include <veldra/protocol/frame.hpp>
#include <veldra/protocol/payload.hpp>

#include <gtest/gtest.h>

#include <unistd.h>

using namespace veldra::protocol;

namespace {

std::vector<std::uint8_t> pattern(std::size_t n) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = std::uint8_t(i * 31 + 7);
    return v;
}

struct Sent {
    MessageType type;
    std::uint64_t id;
    std::size_t size;
};

}  // namespace

class FrameChunking : public ::testing::TestWithParam<std::size_t> {};

TEST_P(FrameChunking, FramesSurviveAnySplit) {
    const std::vector<Sent> sent = {{MessageType::Ready, 0, 0},
                                    {MessageType::Error, 1, 1},
                                    {static_cast<MessageType>(100), ~0ull, 5000},
                                    {MessageType::LaunchFailed, 42, 19}};
    std::vector<std::uint8_t> stream;
    for (const auto& s : sent) {
        auto f = encode_frame(s.type, s.id, pattern(s.size));
        stream.insert(stream.end(), f.begin(), f.end());
    }
    FrameDecoder d;
    std::vector<Frame> got;
    const std::size_t chunk = GetParam() ? GetParam() : stream.size();
    for (std::size_t pos = 0; pos < stream.size(); pos += chunk) {
        d.feed(stream.data() + pos, std::min(chunk, stream.size() - pos));
        Frame f;
        while (d.next(f)) got.push_back(std::move(f));
    }
    ASSERT_FALSE(d.failed()) << d.error();
    ASSERT_EQ(got.size(), sent.size());
    for (std::size_t i = 0; i < sent.size(); ++i) {
        EXPECT_EQ(got[i].type, sent[i].type);
        EXPECT_EQ(got[i].request_id, sent[i].id);
        EXPECT_EQ(got[i].payload, pattern(sent[i].size));
    }
    EXPECT_EQ(d.buffered(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Splits, FrameChunking, ::testing::Values(0, 1, 3, 19, 20, 21, 4096));

struct BadInput {
    const char* name;
    std::vector<std::uint8_t> bytes;
    std::size_t fds;  // descriptors fed ahead
    const char* error;
};

class FrameErrors : public ::testing::TestWithParam<BadInput> {};

TEST_P(FrameErrors, FailForGood) {
    const auto& p = GetParam();
    FrameDecoder d(1024);
    std::vector<UniqueFd> fds;
    for (std::size_t i = 0; i < p.fds; ++i) fds.emplace_back(::dup(0));
    d.feed_fds(std::move(fds));
    d.feed(p.bytes.data(), p.bytes.size());
    Frame f;
    EXPECT_FALSE(d.next(f));
    ASSERT_TRUE(d.failed());
    EXPECT_NE(d.error().find(p.error), std::string::npos) << d.error();
    // Sticky: a good frame afterwards yields nothing.
    auto good = encode_frame(MessageType::Ready, 0, {});
    d.feed(good.data(), good.size());
    EXPECT_FALSE(d.next(f));
    EXPECT_EQ(d.buffered(), 0u);
}

namespace {
std::vector<std::uint8_t> with_byte(std::vector<std::uint8_t> v, std::size_t at, std::uint8_t b) {
    v[at] = b;
    return v;
}
std::vector<std::uint8_t> header_only(std::uint32_t length) {
    auto v = encode_frame(MessageType::Ready, 0, {});
    for (int i = 0; i < 4; ++i) v[16 + i] = std::uint8_t(length >> (8 * i));
    return v;
}
const auto kGood = encode_frame(MessageType::Ready, 9, pattern(4));
}  // namespace

INSTANTIATE_TEST_SUITE_P(Malformed, FrameErrors,
                         ::testing::Values(BadInput{"magic", with_byte(kGood, 0, 0), 0, "magic"},
                                           BadInput{"version", with_byte(kGood, 2, 9), 0, "version"},
                                           BadInput{"too_many_fds", with_byte(kGood, 3, 200), 0, "descriptors"},
                                           // 4 GiB announced: refused from the header alone.
                                           BadInput{"huge_length", header_only(0xFFFFFFFFu), 0, "exceeds"},
                                           BadInput{"over_limit", header_only(1025), 0, "exceeds"},
                                           BadInput{"missing_fds", with_byte(kGood, 3, 2), 1, "2 descriptors but 1"}),
                         [](const auto& test) { return std::string(test.param.name); });

TEST(Frames, DescriptorsGoWithTheirFrames) {
    FrameDecoder d;
    auto a = encode_frame(MessageType::Error, 1, pattern(3), 1);
    auto b = encode_frame(MessageType::Error, 2, pattern(3), 0);
    auto c = encode_frame(MessageType::Error, 3, pattern(3), 2);
    std::vector<UniqueFd> fds;
    for (int i = 0; i < 3; ++i) fds.emplace_back(::dup(0));
    std::vector<int> numbers{fds[0].get(), fds[1].get(), fds[2].get()};
    d.feed_fds(std::move(fds));
    for (auto* f : {&a, &b, &c}) d.feed(f->data(), f->size());
    Frame f;
    ASSERT_TRUE(d.next(f));
    ASSERT_EQ(f.fds.size(), 1u);
    EXPECT_EQ(f.fds[0].get(), numbers[0]);
    ASSERT_TRUE(d.next(f));
    EXPECT_TRUE(f.fds.empty());
    ASSERT_TRUE(d.next(f));
    ASSERT_EQ(f.fds.size(), 2u);
    EXPECT_EQ(f.fds[1].get(), numbers[2]);
}

// Descriptors dropped on the way in (a full descriptor table) fail the frame
// they came for, however many of them did arrive, and nothing after it.
class ShortBatch : public ::testing::TestWithParam<int> {};

TEST_P(ShortBatch, FailsOnlyItsFrame) {
    FrameDecoder d;
    auto a = encode_frame(MessageType::Error, 1, pattern(3), 2);
    auto b = encode_frame(MessageType::Error, 2, pattern(3), 0);
    auto c = encode_frame(MessageType::Error, 3, pattern(3), 1);
    std::vector<UniqueFd> fds;
    for (int i = 0; i < GetParam(); ++i) fds.emplace_back(::dup(0));
    d.feed_fds(std::move(fds), true);
    d.feed(a.data(), a.size());
    d.feed(b.data(), b.size());
    fds.clear();
    fds.emplace_back(::dup(0));
    const int kept = fds[0].get();
    d.feed_fds(std::move(fds));
    d.feed(c.data(), c.size());
    Frame f;
    ASSERT_TRUE(d.next(f)) << d.error();
    EXPECT_TRUE(f.fds_lost);
    EXPECT_TRUE(f.fds.empty());
    ASSERT_TRUE(d.next(f));
    EXPECT_FALSE(f.fds_lost);
    ASSERT_TRUE(d.next(f));
    EXPECT_FALSE(f.fds_lost);
    ASSERT_EQ(f.fds.size(), 1u);
    EXPECT_EQ(f.fds[0].get(), kept);
    EXPECT_FALSE(d.failed());
}

INSTANTIATE_TEST_SUITE_P(Received, ShortBatch, ::testing::Values(0, 1));

TEST(Frames, EncoderRefusesTooMuch) {
    EXPECT_THROW(encode_frame(MessageType::Error, 1, {}, kMaxFdsPerFrame + 1), std::length_error);
}

TEST(Payload, RoundTrip) {
    PayloadWriter w;
    w.u8(7).u32(0xDEADBEEF).u64(~0ull - 5).f64(-2.5).str("héllo").ustr(u"wide\u00e4").str("");
    PayloadReader r(w.data());
    EXPECT_EQ(r.u8(), 7);
    EXPECT_EQ(r.u32(), 0xDEADBEEFu);
    EXPECT_EQ(r.u64(), ~0ull - 5);
    EXPECT_EQ(r.f64(), -2.5);
    EXPECT_EQ(r.str(), "héllo");
    EXPECT_EQ(r.ustr(), u"wide\u00e4");
    EXPECT_EQ(r.str(), "");
    EXPECT_TRUE(r.done());
}

struct Truncated {
    const char* name;
    std::vector<std::uint8_t> bytes;
    int field;  // 0 u32, 1 u64, 2 str, 3 ustr
};

class PayloadTruncation : public ::testing::TestWithParam<Truncated> {};

TEST_P(PayloadTruncation, FailsWithoutAllocating) {
    const auto& p = GetParam();
    PayloadReader r(p.bytes);
    switch (p.field) {
    case 0:
        EXPECT_EQ(r.u32(), 0u);
        break;
    case 1:
        EXPECT_EQ(r.u64(), 0u);
        break;
    case 2:
        EXPECT_EQ(r.str(), "");
        break;
    case 3:
        EXPECT_EQ(r.ustr(), u"");
        break;
    }
    EXPECT_FALSE(r.ok());
    EXPECT_EQ(r.u8(), 0);  // sticky
    EXPECT_FALSE(r.done());
}

INSTANTIATE_TEST_SUITE_P(Fields, PayloadTruncation,
                         ::testing::Values(Truncated{"u32", {1, 2, 3}, 0}, Truncated{"u64", {1, 2, 3, 4, 5, 6, 7}, 1},
                                           Truncated{"str_huge", {0xFF, 0xFF, 0xFF, 0xFF, 'a'}, 2},
                                           Truncated{"str_short", {3, 0, 0, 0, 'a', 'b'}, 2},
                                           Truncated{"ustr_huge", {0xFF, 0xFF, 0xFF, 0xFF, 'a', 0}, 3},
                                           Truncated{"ustr_odd", {2, 0, 0, 0, 'a', 0, 'b'}, 3}),
                         [](const auto& test) { return std::string(test.param.name); });

// The heads of Call and CallResult keep the layout peers of other builds
// read and write, and a head cut anywhere (or an unknown status) is refused.
TEST(CallMessages, HeadsKeepTheirLayout) {
    CallRequestHead call;
    call.name = "svd";
    call.nargout = 3;
    call.capture_err = true;
    call.live = true;
    call.count = 2;
    PayloadWriter w;
    encode(call, w);
    PayloadWriter expected;
    expected.str("svd").u32(3).u8(2 | 4).u32(2);
    EXPECT_EQ(w.data(), expected.data());
    PayloadReader r(w.data());
    CallRequestHead back;
    ASSERT_TRUE(decode(r, back));
    EXPECT_TRUE(r.done());
    EXPECT_EQ(back.name, "svd");
    EXPECT_EQ(back.nargout, 3u);
    EXPECT_FALSE(back.capture_out);
    EXPECT_TRUE(back.capture_err);
    EXPECT_TRUE(back.live);
    EXPECT_FALSE(back.progress);
    EXPECT_EQ(back.count, 2u);

    CallResultHead result;
    result.status = CallStatus::ExecutionError;
    result.identifier = "veldra:sqrt:badType";
    result.message = "bad";
    result.out = u"o\u00e4";
    result.count = 1;
    PayloadWriter rw;
    encode(result, rw);
    PayloadWriter rexpected;
    rexpected.u8(1).str("veldra:sqrt:badType").str("bad").ustr(u"o\u00e4").ustr(u"").u32(1);
    EXPECT_EQ(rw.data(), rexpected.data());
    PayloadReader rr(rw.data());
    CallResultHead rback;
    ASSERT_TRUE(decode(rr, rback));
    EXPECT_TRUE(rr.done());
    EXPECT_EQ(rback.status, CallStatus::ExecutionError);
    EXPECT_EQ(rback.identifier, result.identifier);
    EXPECT_EQ(rback.message, result.message);
    EXPECT_EQ(rback.out, result.out);
    EXPECT_EQ(rback.err, u"");
    EXPECT_EQ(rback.count, 1u);

    for (std::size_t n = 0; n < w.data().size(); ++n) {
        PayloadReader cut(w.data().data(), n);
        EXPECT_FALSE(decode(cut, back)) << n;
    }
    for (std::size_t n = 0; n < rw.data().size(); ++n) {
        PayloadReader cut(rw.data().data(), n);
        EXPECT_FALSE(decode(cut, rback)) << n;
    }
    std::vector<std::uint8_t> unknown = rw.data();
    unknown[0] = static_cast<std::uint8_t>(CallStatus::Cancelled) + 1;
    PayloadReader ur(unknown);
    EXPECT_FALSE(decode(ur, rback));
}

namespace {

matrix::unique_array_ptr scalar(double v) {
    matrix::unique_array_ptr a(qxCreateNumericMatrix(1, 1, qxDOUBLE_CLASS, qxREAL));
    *static_cast<double*>(qxGetData(a.get())) = v;
    return a;
}

double value_of(const matrix::unique_array_ptr& a) {
    return *static_cast<const double*>(qxGetData(a.get()));
}

// Reads a whole CallBatch payload back: per call its argument values.
// False when any part of it is missing or left over.
bool read_batch(const std::vector<std::uint8_t>& payload, CallBatchHead& head,
                std::vector<std::vector<double>>& calls) {
    PayloadReader r(payload);
    if (!decode(r, head)) return false;
    std::vector<UniqueFd> fds;
    calls.clear();
    try {
        for (std::uint32_t i = 0; i < head.calls; ++i) {
            const std::uint32_t count = r.u32();
            if (!r.ok()) return false;
            calls.emplace_back();
            for (std::uint32_t j = 0; j < count; ++j) calls.back().push_back(value_of(decode_array(r, fds, nullptr)));
        }
    } catch (const ArrayCodecError&) {
        return false;
    }
    return r.done();
}

// The same for a CallBatchResult: per call its status, identifier, text
// and result values.
struct Reported {
    CallStatus status;
    std::string identifier;
    std::u16string out;
    std::vector<double> results;
};

bool read_batch_result(const std::vector<std::uint8_t>& payload, CallBatchResultHead& head,
                       std::vector<Reported>& calls) {
    PayloadReader r(payload);
    if (!decode(r, head)) return false;
    std::vector<UniqueFd> fds;
    calls.clear();
    try {
        for (std::uint32_t i = 0; i < head.calls; ++i) {
            CallResultHead call;
            if (!decode(r, call)) return false;
            calls.push_back({call.status, call.identifier, call.out, {}});
            for (std::uint32_t j = 0; j < call.count; ++j)
                calls.back().results.push_back(value_of(decode_array(r, fds, nullptr)));
        }
    } catch (const ArrayCodecError&) {
        return false;
    }
    return r.done();
}

}  // namespace

// A batch and its reply round-trip with every call in its place, and a
// message cut anywhere is refused rather than read as fewer calls.
TEST(CallMessages, BatchesRoundTripAndRefuseCuts) {
    OutgoingFds fds;
    CallBatchHead head;
    head.name = "hcat";
    head.nargout = 1;
    head.capture_out = true;
    head.after = 41;
    head.calls = 3;
    PayloadWriter w;
    encode(head, w);
    const std::vector<std::vector<double>> sent = {{1, 2}, {}, {3}};
    for (const auto& args : sent) {
        w.u32(static_cast<std::uint32_t>(args.size()));
        for (double v : args) encode_array(scalar(v).get(), w, fds);
    }
    CallBatchHead back;
    std::vector<std::vector<double>> got;
    ASSERT_TRUE(read_batch(w.data(), back, got));
    EXPECT_EQ(back.name, "hcat");
    EXPECT_EQ(back.nargout, 1u);
    EXPECT_TRUE(back.capture_out);
    EXPECT_FALSE(back.capture_err);
    EXPECT_EQ(back.after, 41u);
    EXPECT_EQ(got, sent);

    CallBatchResultHead rhead;
    rhead.first = 7;
    rhead.calls = 2;
    rhead.final = true;
    PayloadWriter rw;
    encode(rhead, rw);
    CallResultHead ok;
    ok.out = u"a\n";
    ok.count = 1;
    encode(ok, rw);
    encode_array(scalar(5).get(), rw, fds);
    CallResultHead failed;
    failed.status = CallStatus::ExecutionError;
    failed.identifier = "veldra:f:bad";
    encode(failed, rw);
    CallBatchResultHead rback;
    std::vector<Reported> reported;
    ASSERT_TRUE(read_batch_result(rw.data(), rback, reported));
    EXPECT_EQ(rback.first, 7u);
    EXPECT_TRUE(rback.final);
    ASSERT_EQ(reported.size(), 2u);
    EXPECT_EQ(reported[0].status, CallStatus::Ok);
    EXPECT_EQ(reported[0].out, u"a\n");
    EXPECT_EQ(reported[0].results, std::vector<double>{5});
    EXPECT_EQ(reported[1].status, CallStatus::ExecutionError);
    EXPECT_EQ(reported[1].identifier, "veldra:f:bad");
    EXPECT_TRUE(reported[1].results.empty());

    for (std::size_t n = 0; n < w.data().size(); ++n) {
        std::vector<std::uint8_t> cut(w.data().begin(), w.data().begin() + static_cast<std::ptrdiff_t>(n));
        EXPECT_FALSE(read_batch(cut, back, got)) << n;
    }
    for (std::size_t n = 0; n < rw.data().size(); ++n) {
        std::vector<std::uint8_t> cut(rw.data().begin(), rw.data().begin() + static_cast<std::ptrdiff_t>(n));
        EXPECT_FALSE(read_batch_result(cut, rback, reported)) << n;
    }
}
