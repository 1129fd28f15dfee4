// The shared-memory allocator, its pool, timing and concurrent use.
#include "test_protocol_array_codec_support.hpp"

#include <sys/mman.h>

#include "../../runtime/protocol/src/shm_block.hpp"

#include <veldra/protocol/frame.hpp>
#include <veldra/protocol/socket.hpp>

#include <sys/stat.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

using namespace codec_test;
namespace shm = veldra::protocol::shm;

namespace {

using Clock = std::chrono::steady_clock;
double msSince(Clock::time_point t) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

ino_t inode(const qx::Block& b) {
    struct stat st{};
    EXPECT_EQ(::fstat(b.fd(), &st), 0);
    return st.st_ino;
}

bool allZero(const qx::Block& b) {
    const auto* p = static_cast<const std::uint8_t*>(b.data());
    for (std::size_t i = 0; i < b.size(); ++i)
        if (p[i]) return false;
    return true;
}

class PoolScope {
public:
    PoolScope() {
        shm::setPoolLimit(0);
        shm::setPoolLimit(8);
    }
    ~PoolScope() { shm::setPoolLimit(8); }
};

TEST_F(CodecTest, AllocatorSplitsAtTheThreshold) {
    SharedAllocatorScope scope;
    auto alloc = qx::blockAllocator();
    struct Row {
        std::size_t bytes;
        bool memfd;
    } rows[] = {{1, false},
                {veldra::protocol::kSharedBlockThreshold - 1, false},
                {veldra::protocol::kSharedBlockThreshold, true},
                {5'000'001, true}};
    for (const Row& r : rows) {
        auto b = alloc->allocate(r.bytes);
        ASSERT_TRUE(b);
        EXPECT_GE(b->size(), r.bytes);
        EXPECT_EQ(b->fd() >= 0, r.memfd) << r.bytes;
        EXPECT_TRUE(allZero(*b));
    }
}

TEST_F(CodecTest, PoolNeverHandsOutSharedBlocks) {
    SharedAllocatorScope scope;
    PoolScope pool;
    auto alloc = qx::blockAllocator();
    const std::size_t size = (3u << 20) + 123;

    // A block that stayed here comes back, zero-filled.
    auto b = alloc->allocate(size);
    const ino_t first = inode(*b);
    std::memset(b->data(), 0x5a, b->size());
    b.reset();
    EXPECT_EQ(shm::pooledBlockCount(), 1u);
    b = alloc->allocate(size);
    EXPECT_EQ(inode(*b), first);
    EXPECT_TRUE(allZero(*b));
    EXPECT_EQ(shm::pooledBlockCount(), 0u);

    // Once encoded it may be mapped elsewhere: released for good.
    const qxSize dims[] = {size, 1};
    {
        matrix::unique_array_ptr a(qx::createArrayOverBlocks(2, dims, qxUINT8_CLASS, b, nullptr));
        b.reset();
        Wire w = encode(a.get());
        auto peer = decode(w);  // a decoded block is never pooled either
    }
    EXPECT_EQ(shm::pooledBlockCount(), 0u);
    auto c = alloc->allocate(size);
    EXPECT_NE(inode(*c), first);
}

TEST_F(CodecTest, PooledBlocksAreClearedOnlyWhenTheyWillBeRead) {
    SharedAllocatorScope scope;
    PoolScope pool;
    auto alloc = qx::blockAllocator();
    const std::size_t size = 1u << 20;
    auto b = alloc->allocate(size);
    const ino_t first = inode(*b);
    std::memset(b->data(), 0x5a, b->size());
    b.reset();
    // A caller that overwrites everything gets the warm block as it is ...
    b = alloc->allocateForOverwrite(size);
    EXPECT_EQ(inode(*b), first);
    std::memset(b->data(), 0x77, b->size());
    b.reset();
    // ... everybody else a cleared one.
    b = alloc->allocate(size);
    EXPECT_EQ(inode(*b), first);
    EXPECT_TRUE(allZero(*b));

    // Arrays made for overwriting have the class, size and blocks asked for.
    const qxSize dims[] = {size / 8, 1};
    matrix::unique_array_ptr a(qxCreateNumericArrayForOverwrite(2, dims, qxDOUBLE_CLASS, qxCOMPLEX));
    ASSERT_TRUE(a);
    EXPECT_EQ(qxGetNumberOfElements(a.get()), size / 8);
    EXPECT_TRUE(qxIsComplex(a.get()));
    EXPECT_GE(qx::realBlock(a.get())->fd(), 0);
    EXPECT_FALSE(qxCreateNumericArrayForOverwrite(2, dims, qxCELL_CLASS, qxREAL));
}

// Fresh memfd memory pays a page fault per page; warm pooled memory a memset.
TEST_F(CodecTest, PoolTiming) {
    SharedAllocatorScope scope;
    PoolScope pool;
    auto alloc = qx::blockAllocator();
    const std::size_t size = 16u << 20;
    auto run = [&] {
        const auto t = Clock::now();
        for (int i = 0; i < 20; ++i) {
            auto b = alloc->allocate(size);
            for (std::size_t k = 0; k < size; k += 4096) static_cast<char*>(b->data())[k] = 1;
        }
        return msSince(t) / 20;
    };
    shm::setPoolLimit(0);
    const double fresh = run();
    shm::setPoolLimit(8);
    const double pooled = run();
    std::printf("16 MiB block, allocate + touch: fresh memfd %.2f ms, pooled %.2f ms\n", fresh, pooled);
}

TEST_F(CodecTest, HundredMegabytes) {
    const qxSize n = 100'000'000 / 8;
    const std::size_t bytes = n * 8;
    double copy = 0;
    {
        std::vector<char> src(bytes, 1);
        const auto t = Clock::now();
        char* dst = static_cast<char*>(std::malloc(bytes));
        std::memcpy(dst, src.data(), bytes);
        copy = msSince(t);
        std::free(dst);
    }
    for (bool sharedAlloc : {true, false}) {
        std::unique_ptr<SharedAllocatorScope> scope;
        if (sharedAlloc) scope = std::make_unique<SharedAllocatorScope>();
        matrix::unique_array_ptr a(qxCreateNumericMatrix(n, 1, qxDOUBLE_CLASS, qxREAL));
        ASSERT_TRUE(a);
        auto* d = static_cast<double*>(qxGetData(a.get()));
        for (qxSize i = 0; i < n; ++i) d[i] = double(i);
        const auto t0 = Clock::now();
        Wire w = encode(a.get());
        const double enc = msSince(t0);
        const auto t1 = Clock::now();
        auto b = decode(w);
        const double dec = msSince(t1);
        const auto t2 = Clock::now();
        double sum = 0;
        const auto* e = static_cast<const double*>(qxGetData(b.get()));
        for (qxSize i = 0; i < n; i += 512) sum += e[i];  // a read per page
        const double touch = msSince(t2);
        EXPECT_GT(sum, 0);
        EXPECT_EQ(e[n - 1], double(n - 1));
        std::printf(
            "100 MB %s block: encode %.2f ms, decode %.2f ms, first read of every page %.2f ms; "
            "memcpy into fresh memory %.2f ms\n",
            sharedAlloc ? "memfd" : "heap", enc, dec, touch, copy);
    }
}

TEST_F(CodecTest, ManyThreadsAtOnce) {
    SharedAllocatorScope scope;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([t, &failures] {
            for (int i = 0; i < 50; ++i) {
                matrix::unique_array_ptr c(qxCreateCellMatrix(1, 4));
                qxSetCell(c.get(), 0, numeric(100 + t, 100, qxDOUBLE_CLASS, i % 2, unsigned(t * 100 + i)).release());
                qxSetCell(c.get(), 1, numeric(3, 3, qxINT32_CLASS, false, unsigned(i)).release());
                qxSetCell(c.get(), 2, qxCreateFunctionHandle("g"));
                try {
                    Wire w = encode(c.get());
                    auto d = decode(w);
                    auto back = decode(encode(d.get()));
                    if (!diff(c.get(), back.get()).empty()) ++failures;
                } catch (...) {
                    ++failures;
                }
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);
}

// The real crossing: a frame over a socket to another process, which cannot
// write into the memory it received.
TEST_F(CodecTest, AcrossProcesses) {
    SharedAllocatorScope scope;
    matrix::unique_array_ptr c(qxCreateCellMatrix(1, 24));
    qxSetCell(c.get(), 0, numeric(100000, 1, qxDOUBLE_CLASS).release());
    {
        qx::setBlockAllocator(nullptr);  // heap blocks: copied, and too many for one frame
        for (qxSize i = 1; i < 24; ++i)
            qxSetCell(c.get(), i, numeric(9000, 1, qxDOUBLE_CLASS, false, unsigned(i)).release());
        veldra::protocol::installSharedMemoryAllocator();
    }
    Wire w = encode(c.get());
    ASSERT_EQ(w.out.fds.size(), veldra::protocol::kMaxFdsPerFrame);
    const auto frame =
        veldra::protocol::encode_frame(veldra::protocol::MessageType(100), 1, w.payload, w.out.fds.size());
    auto [mine, theirs] = veldra::protocol::socket_pair();
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        mine.reset();
        int status = 1;
        try {
            veldra::protocol::FrameDecoder frames;
            veldra::protocol::Frame f;
            std::vector<std::uint8_t> buf(1 << 16);
            while (!frames.next(f)) {
                std::vector<UniqueFd> fds;
                const std::size_t n = veldra::protocol::recv_some(theirs.get(), buf.data(), buf.size(), &fds);
                if (n == 0) ::_exit(2);
                frames.feed_fds(std::move(fds));
                frames.feed(buf.data(), n);
            }
            veldra::protocol::PayloadReader in(f.payload);
            auto d = veldra::protocol::decode_array(in, f.fds, nullptr);
            void* first = qxGetData(qxGetCell(d.get(), 0));
            if (diff(c.get(), d.get()).empty() && in.done() &&
                ::mprotect(first, 100000 * 8, PROT_READ | PROT_WRITE) != 0)
                status = 0;
        } catch (...) {}
        const char done = 'k';
        veldra::protocol::send_all(theirs.get(), &done, 1);
        ::_exit(status);
    }
    theirs.reset();
    veldra::protocol::send_all(mine.get(), frame.data(), frame.size(), w.out.fds.data(), w.out.fds.size());
    char reply = 0;
    EXPECT_EQ(veldra::protocol::recv_some(mine.get(), &reply, 1, nullptr), 1u);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    // Our own mapping is still ours to write.
    static_cast<double*>(qxGetData(qxGetCell(c.get(), 0)))[3] = 77.0;
    EXPECT_EQ(static_cast<double*>(qxGetData(qxGetCell(c.get(), 0)))[3], 77.0);
}

}  // namespace
