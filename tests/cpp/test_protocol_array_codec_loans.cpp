// Large blocks lent to a peer: pooled again once the peer unmapped them,
// never when they went on to others or the connection ended first, and
// arriving as our own memory when the peer sends them back.
#include "test_protocol_array_codec_support.hpp"

#include "../../runtime/protocol/src/shm_block.hpp"

#include <veldra/protocol/frame.hpp>

#include <mutex>
#include <utility>

using namespace codec_test;
namespace protocol = veldra::protocol;
namespace shm = veldra::protocol::shm;

namespace {

// One end of a connection inside this process: its tag, and the notices its
// mappings sent towards the lender.
struct End : protocol::LoanChannel {
    std::uint64_t tag = protocol::new_peer_tag();
    std::mutex m;
    std::vector<std::pair<std::uint64_t, bool>> sent;
    void send_loan_released(std::uint64_t id, bool reusable) noexcept override {
        std::lock_guard<std::mutex> lock(m);
        sent.emplace_back(id, reusable);
    }
};

struct Link {
    std::shared_ptr<End> end = std::make_shared<End>();
    protocol::PeerLink link() const { return {end->tag, end}; }
};

class LoanTest : public CodecTest {
protected:
    void SetUp() override {
        CodecTest::SetUp();
        shm::setPoolLimit(0);
        shm::setPoolLimit(8);
        loans_ = shm::loanCount();
    }
    void TearDown() override {
        EXPECT_EQ(shm::loanCount(), loans_) << "loans left open";
        CodecTest::TearDown();
    }
    // A large array of ours (memfd memory) and its data address.
    static matrix::unique_array_ptr large(double value = 2.5) {
        matrix::unique_array_ptr a(qxCreateNumericMatrix(1 << 15, 1, qxDOUBLE_CLASS, qxREAL));
        auto* d = static_cast<double*>(qxGetData(a.get()));
        for (int i = 0; i < (1 << 15); ++i) d[i] = value + i;
        return a;
    }
    // Delivers the notices `receiver` sent to the lender's side (tag `lender`).
    static void deliver(End& receiver, std::uint64_t lender) {
        std::vector<std::pair<std::uint64_t, bool>> sent;
        {
            std::lock_guard<std::mutex> lock(receiver.m);
            sent.swap(receiver.sent);
        }
        for (auto [id, reusable] : sent)
            protocol::on_loan_released(lender, protocol::loan_released_payload(id, reusable));
    }
    SharedAllocatorScope allocator_;
    std::size_t loans_ = 0;
};

// `us` lends to the peer over connection A (our tag a.tag); the peer decodes
// with its own end B of that connection.
TEST_F(LoanTest, UnmappedLoansArePooledAgain) {
    Link a, b;
    auto mine = large();
    const void* data = qxGetData(mine.get());
    auto to = a.link();
    Wire w = encode(mine.get(), &to);
    EXPECT_EQ(shm::loanCount(), loans_ + 1);
    mine.reset();
    EXPECT_EQ(shm::pooledBlockCount(), 0u) << "pooled while the peer may map it";

    auto from = b.link();
    {
        auto theirs = decode(w, nullptr, nullptr, &from);
        EXPECT_EQ(static_cast<const double*>(qxGetData(theirs.get()))[7], 9.5);
    }
    w = Wire();
    ASSERT_EQ(b.end->sent.size(), 1u);
    EXPECT_TRUE(b.end->sent[0].second);
    deliver(*b.end, a.end->tag);
    EXPECT_EQ(shm::pooledBlockCount(), 1u);
    auto again = large();
    EXPECT_EQ(qxGetData(again.get()), data) << "the same memory, warm";
}

// Arrays encoded one by one into one frame, more than it has descriptors:
// blocks with descriptors of their own are lent, copies in the pack are not.
TEST_F(LoanTest, AFrameCarriesAnyNumberOfLentBlocks) {
    Link a, b;
    std::vector<matrix::unique_array_ptr> mine;
    protocol::PayloadWriter pw;
    protocol::OutgoingFds out;
    auto to = a.link();
    for (int i = 0; i < 20; ++i) {
        mine.push_back(large(i));
        protocol::encode_array(mine.back().get(), pw, out, &to);
    }
    EXPECT_EQ(out.fds.size(), protocol::kMaxFdsPerFrame);
    EXPECT_EQ(shm::loanCount(), loans_ + protocol::kMaxFdsPerFrame - 1);
    Wire w;
    w.payload = pw.take();
    w.raw = out.fds;
    auto from = b.link();
    {
        protocol::PayloadReader in(w.payload);
        auto fds = w.received();
        for (int i = 0; i < 20; ++i) {
            auto theirs = protocol::decode_array(in, fds, nullptr, &from);
            EXPECT_EQ(diff(mine[i].get(), theirs.get()), "") << i;
        }
        EXPECT_TRUE(in.done());
    }
    deliver(*b.end, a.end->tag);
    EXPECT_EQ(shm::loanCount(), loans_);
}

// A frame whose descriptors never arrived gives its loans back unmapped.
TEST_F(LoanTest, LoansOfAFrameLostOnTheWayComeBack) {
    Link a, b;
    auto mine = large();
    matrix::unique_array_ptr c(qxCreateCellMatrix(1, 3));
    qxSetCell(c.get(), 0, matrix::detail::shared_copy(mine.get()));
    qxSetCell(c.get(), 2, matrix::detail::shared_copy(mine.get()));
    auto to = a.link();
    Wire w = encode(c.get(), &to);
    protocol::PayloadWriter more;
    protocol::encode_array(mine.get(), more, w.out, &to);
    w.payload.insert(w.payload.end(), more.data().begin(), more.data().end());
    EXPECT_EQ(shm::loanCount(), loans_ + 1);
    protocol::PayloadReader in(w.payload);
    protocol::release_lost_loans(in, 2, b.link());
    EXPECT_TRUE(in.done());
    deliver(*b.end, a.end->tag);
    EXPECT_EQ(shm::loanCount(), loans_);
}

TEST_F(LoanTest, ABlockSentBackArrivesAsOurOwnMemory) {
    Link a, b;
    auto mine = large();
    const void* data = qxGetData(mine.get());
    auto toPeer = a.link();
    Wire out = encode(mine.get(), &toPeer);
    mine.reset();

    auto peerFrom = b.link();
    auto theirs = decode(out, nullptr, nullptr, &peerFrom);
    // The peer sends it back over the same connection: only the loan id travels.
    auto peerTo = b.link();
    Wire back = encode(theirs.get(), &peerTo);
    EXPECT_TRUE(back.raw.empty());
    theirs.reset();
    ASSERT_EQ(b.end->sent.size(), 0u) << "notice sent before the frame carrying the block";
    back.out = protocol::OutgoingFds();  // the frame is out
    ASSERT_EQ(b.end->sent.size(), 1u);

    auto ourFrom = a.link();
    auto returned = decode(back, nullptr, nullptr, &ourFrom);
    EXPECT_EQ(qxGetData(returned.get()), data);
    deliver(*b.end, a.end->tag);
    EXPECT_EQ(shm::pooledBlockCount(), 0u) << "pooled while still in use here";
    out = Wire();
    returned.reset();
    EXPECT_EQ(shm::pooledBlockCount(), 1u);
}

TEST_F(LoanTest, LoansThatCannotComeBackAreNeverReused) {
    struct Row {
        const char* name;
        bool escape;  // the peer passes the block on to a third process
        bool forget;  // the connection ends before the peer reports back
    } rows[] = {{"passed on", true, false}, {"connection ended", false, true}};
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        Link a, b, c;
        auto mine = large();
        auto to = a.link();
        Wire w = encode(mine.get(), &to);
        mine.reset();
        auto from = b.link();
        auto theirs = decode(w, nullptr, nullptr, &from);
        if (r.escape) {
            auto third = c.link();
            Wire onward = encode(theirs.get(), &third);
            EXPECT_EQ(onward.raw.size(), 1u);
        }
        theirs.reset();
        w = Wire();
        if (r.forget) protocol::forget_peer(a.end->tag);
        deliver(*b.end, a.end->tag);
        EXPECT_EQ(shm::pooledBlockCount(), 0u);
    }
}

TEST_F(LoanTest, BlocksOfUnknownLoansAreRefused) {
    Link a, b, c;
    auto mine = large();
    auto to = a.link();
    Wire out = encode(mine.get(), &to);
    auto from = b.link();
    auto theirs = decode(out, nullptr, nullptr, &from);
    auto back = b.link();
    Wire w = encode(theirs.get(), &back);
    // Only the connection the loan went over may send it back.
    auto other = c.link();
    EXPECT_THROW(decode(w, nullptr, nullptr, &other), protocol::ArrayCodecError);
    EXPECT_THROW(decode(w), protocol::ArrayCodecError);
    theirs.reset();
    w = Wire();
    deliver(*b.end, a.end->tag);
}

}  // namespace
