// The socket layer (bytes and descriptors over socket pairs, deadlines) and
// the shared-session folder rules.
#include <veldra/protocol/frame.hpp>
#include <veldra/protocol/session.hpp>
#include <veldra/protocol/socket.hpp>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

using namespace veldra::protocol;

TEST(Sockets, BytesAndDescriptorsTravelTogether) {
    auto [a, b] = socket_pair();
    int p[2];
    ASSERT_EQ(::pipe2(p, O_CLOEXEC), 0);
    UniqueFd pr(p[0]), pw(p[1]);

    // More than a socket buffer holds, so sending and receiving interleave.
    std::vector<std::uint8_t> payload(3 << 20);
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = std::uint8_t(i);
    auto bytes = encode_frame(MessageType::Error, 77, payload, 1);
    std::thread sender([&, fd = a.get()] {
        int d = pw.get();
        send_all(fd, bytes.data(), bytes.size(), &d, 1);
    });

    FrameDecoder dec;
    std::vector<std::uint8_t> buf(65536);
    Frame f;
    while (!dec.next(f)) {
        std::vector<UniqueFd> fds;
        std::size_t n = recv_some(b.get(), buf.data(), buf.size(), &fds);
        ASSERT_GT(n, 0u);
        dec.feed_fds(std::move(fds));
        dec.feed(buf.data(), n);
        ASSERT_FALSE(dec.failed()) << dec.error();
    }
    sender.join();
    EXPECT_EQ(f.request_id, 77u);
    EXPECT_EQ(f.payload, payload);
    ASSERT_EQ(f.fds.size(), 1u);
    EXPECT_NE(::fcntl(f.fds[0].get(), F_GETFD) & FD_CLOEXEC, 0);
    // The received descriptor is the pipe's write end.
    ASSERT_EQ(::write(f.fds[0].get(), "x", 1), 1);
    char c = 0;
    ASSERT_EQ(::read(pr.get(), &c, 1), 1);
    EXPECT_EQ(c, 'x');

    a.reset();
    EXPECT_EQ(recv_some(b.get(), buf.data(), buf.size(), nullptr), 0u);
}

TEST(Sockets, SendToClosedPeerThrowsInsteadOfSignalling) {
    auto [a, b] = socket_pair();
    b.reset();
    char x = 1;
    EXPECT_THROW(send_all(a.get(), &x, 1), std::system_error);
}

TEST(Sockets, Deadlines) {
    EXPECT_TRUE(Deadline::after(-1).is_never());
    EXPECT_EQ(Deadline::after(-0.5).poll_timeout_ms(), -1);
    EXPECT_TRUE(Deadline::after(0).expired());
    EXPECT_EQ(Deadline::after(0).poll_timeout_ms(), 0);
    EXPECT_TRUE(Deadline::after(1e300).is_never());

    auto [a, b] = socket_pair();
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(wait_readable(b.get(), Deadline::after(0.05)));
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(50));
    char x = 1;
    send_all(a.get(), &x, 1);
    EXPECT_TRUE(wait_readable(b.get(), Deadline::never()));
}

struct NameCase {
    std::string name;
    bool valid;
};

class SessionNames : public ::testing::TestWithParam<NameCase> {};

TEST_P(SessionNames, Rule) {
    EXPECT_EQ(is_valid_session_name(GetParam().name), GetParam().valid);
    if (!GetParam().valid) {
        EXPECT_THROW(check_session_name(GetParam().name), SessionError);
    }
}

INSTANTIATE_TEST_SUITE_P(All, SessionNames,
                         ::testing::Values(NameCase{"a", true}, NameCase{"Work_2-b", true},
                                           NameCase{std::string(64, 'x'), true}, NameCase{"", false},
                                           NameCase{std::string(65, 'x'), false}, NameCase{"a b", false},
                                           NameCase{"a/b", false}, NameCase{"..", false}, NameCase{"a.sock", false},
                                           NameCase{"\xc3\xa4", false}, NameCase{std::string("a\0b", 3), false}));

class SessionFolder : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/veldra-ptest-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        base_ = tmpl;
        const char* old = std::getenv("XDG_RUNTIME_DIR");
        had_old_ = old != nullptr;
        if (old) old_ = old;
        ::setenv("XDG_RUNTIME_DIR", base_.c_str(), 1);
    }
    void TearDown() override {
        if (had_old_) ::setenv("XDG_RUNTIME_DIR", old_.c_str(), 1);
        else ::unsetenv("XDG_RUNTIME_DIR");
        std::string cmd = "rm -rf '" + base_ + "'";
        EXPECT_EQ(std::system(cmd.c_str()), 0);
    }
    std::string base_, old_;
    bool had_old_ = false;
};

TEST_F(SessionFolder, CreatedPrivateAndRefusedWhenOpen) {
    EXPECT_EQ(session_dir(false), "");  // not made just by looking
    ::umask(022);
    std::string dir = session_dir(true);
    EXPECT_EQ(dir, base_ + "/veldra");
    struct stat st;
    ASSERT_EQ(::stat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(session_dir(false), dir);

    ASSERT_EQ(::chmod(dir.c_str(), 0750), 0);
    for (bool create : {false, true}) {
        try {
            session_dir(create);
            ADD_FAILURE() << "an open folder was accepted";
        } catch (const SessionError& e) {
            EXPECT_NE(std::string(e.what()).find("0700"), std::string::npos) << e.what();
        }
    }
}

TEST_F(SessionFolder, SocketPathsThatDoNotFitAreRefused) {
    std::string dir(sizeof(sockaddr_un::sun_path) - 10, 'd');
    EXPECT_NO_THROW(session_socket_path("/x", std::string(64, 'n')));
    EXPECT_THROW(session_socket_path(dir, "abcdef"), SessionError);
    sockaddr_un addr;
    EXPECT_THROW(make_unix_address(dir + "/abcdef.sock", addr), std::length_error);
}

TEST_F(SessionFolder, LocksDecideWhatIsAlive) {
    std::string dir = session_dir(true);
    // A live session holds its lock; a second taker is refused.
    auto live = std::make_unique<SessionLock>(dir, "live");
    UniqueFd live_sock = listen_unix(session_socket_path(dir, "live"), 1);
    EXPECT_THROW(SessionLock(dir, "live"), SessionError);
    // A socket left behind by a dead engine, with and without a lock file.
    for (const char* dead : {"dead1", "dead2"}) {
        UniqueFd s = listen_unix(session_socket_path(dir, dead), 1);
        if (std::string(dead) == "dead2")
            UniqueFd(::open(session_lock_path(dir, dead).c_str(), O_CREAT | O_RDWR, 0600));
    }
    EXPECT_EQ(list_live_sessions(dir), std::vector<std::string>{"live"});
    EXPECT_NE(::access(session_socket_path(dir, "dead1").c_str(), F_OK), 0);
    EXPECT_NE(::access(session_lock_path(dir, "dead2").c_str(), F_OK), 0);
    EXPECT_EQ(::access(session_socket_path(dir, "live").c_str(), F_OK), 0);

    // Once the holder lets go, the name can be taken again.
    live->remove();
    live.reset();
    EXPECT_NO_THROW(SessionLock(dir, "live"));
}
