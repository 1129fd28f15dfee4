// Shared sessions: engines started by hand with --share, attached to, found,
// and stopped by signal; the per-user folder's rules.
#include "test_client_support.hpp"

#include <veldra/protocol/frame.hpp>
#include <veldra/protocol/payload.hpp>
#include <veldra/protocol/session.hpp>
#include <veldra/protocol/socket.hpp>

#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>

using namespace engine_api;
using namespace client_test;

namespace {

bool listed(const std::string& name) {
    for (const auto& n : findSharedVELDRA())
        if (n == std::u16string(name.begin(), name.end())) return true;
    return false;
}

bool exists(const std::string& path) {
    return ::access(path.c_str(), F_OK) == 0;
}

unsigned mode_of(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 0777 : 0xFFFF;
}

// A socket file nobody listens on, as a crashed engine leaves behind.
void make_stale_socket(const std::string& name) {
    std::string path = session_dir() + "/" + name + ".sock";
    int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    ASSERT_EQ(::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ::close(s);
}

Handle attach(const std::string& name) {
    return getOutOfProcessVELDRA(attachSharedVELDRAAsync(fl::ustring(name.begin(), name.end())));
}

}  // namespace

class HandStartedSession : public ::testing::TestWithParam<int> {};

TEST_P(HandStartedSession, ServesSeveralClientsAndStopsCleanly) {
    const int sig = GetParam();
    const std::string name = sig == SIGTERM ? "by-hand_term" : "by-hand_int";
    pid_t engine = start_shared(name);
    ASSERT_GT(engine, 0);
    ASSERT_TRUE(eventually([&] { return listed(name); })) << "the session never appeared";
    const std::string sock = session_dir() + "/" + name + ".sock";
    EXPECT_EQ(mode_of(session_dir()), 0700u);
    EXPECT_EQ(mode_of(sock), 0600u);

    // Two clients attach at once.
    Handle e[2] = {0, 0};
    std::thread other([&] { e[1] = attach(name); });
    e[0] = attach(name);
    other.join();
    ASSERT_NE(e[0], 0u);
    ASSERT_NE(e[1], 0u);
    EXPECT_NE(e[0], e[1]);
    EXPECT_EQ(findSharedVELDRA(), std::vector<fl::ustring>{fl::ustring(name.begin(), name.end())});

    // A second engine may not take a live name.
    Handle twin = createOutOfProcessVELDRAAsync({u"--share", fl::ustring(name.begin(), name.end())});
    std::string text = thrown_text<EngineException>([&] { getOutOfProcessVELDRA(twin); });
    EXPECT_NE(text.find("already in use"), std::string::npos) << text;
    destroyVELDRAHandle(twin);

    // Detaching one client leaves the engine to the others.
    terminateOutOfProcessVELDRA(e[0]);
    destroyVELDRAHandle(e[0]);
    int status = 0;
    EXPECT_EQ(::waitpid(engine, &status, WNOHANG), 0);
    Handle third = attach(name);
    destroyVELDRAHandle(third);
    destroyVELDRAHandle(e[1]);

    ASSERT_EQ(::kill(engine, sig), 0);
    ASSERT_EQ(::waitpid(engine, &status, 0), engine);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_FALSE(exists(sock));
    EXPECT_FALSE(exists(session_dir() + "/" + name + ".lock"));
    EXPECT_TRUE(findSharedVELDRA().empty());
}

INSTANTIATE_TEST_SUITE_P(Signals, HandStartedSession, ::testing::Values(SIGTERM, SIGINT),
                         [](const auto& test) { return std::string(test.param == SIGTERM ? "SIGTERM" : "SIGINT"); });

TEST(SharedSessions, ALaunchedEngineCanShareToo) {
    Handle owner = getOutOfProcessVELDRA(createOutOfProcessVELDRAAsync({u"--share", u"launched"}));
    EXPECT_TRUE(listed("launched"));
    Handle guest = attach("launched");
    // The launching client owns it: closing stops it for everybody.
    terminateOutOfProcessVELDRA(owner);
    EXPECT_TRUE(children().empty());
    EXPECT_FALSE(exists(session_dir() + "/launched.sock"));
    EXPECT_FALSE(listed("launched"));
    for (Handle h : {guest, owner}) destroyVELDRAHandle(h);
}

TEST(SharedSessions, MissingSessionIsNotFound) {
    Handle l = attachSharedVELDRAAsync(u"nobody-home");
    EXPECT_TRUE(isDoneVELDRA(l));
    try {
        getOutOfProcessVELDRA(l);
        ADD_FAILURE() << "no exception";
    } catch (const SharedNotFound& e) {
        EXPECT_NE(e.GetMessageTxt().find("'nobody-home'"), std::string::npos) << e.GetMessageTxt();
        EXPECT_NE(e.GetMessage().find(u"nobody-home"), fl::ustring::npos);
    }
    destroyVELDRAHandle(l);
}

TEST(SharedSessions, StaleSocketIsNotConnectedThenRemovedAndReplaced) {
    findSharedVELDRA();  // makes sure the folder exists
    ::mkdir(session_dir().c_str(), 0700);
    make_stale_socket("stale");
    Handle l = attachSharedVELDRAAsync(u"stale");
    try {
        getOutOfProcessVELDRA(l);
        ADD_FAILURE() << "no exception";
    } catch (const SharedNotConnected& e) {
        EXPECT_NE(e.GetMessageTxt().find("'stale'"), std::string::npos) << e.GetMessageTxt();
    }
    destroyVELDRAHandle(l);

    EXPECT_TRUE(findSharedVELDRA().empty());
    EXPECT_FALSE(exists(session_dir() + "/stale.sock"));

    // An engine starting under a stale name takes it over.
    make_stale_socket("stale");
    Handle e = getOutOfProcessVELDRA(createOutOfProcessVELDRAAsync({u"--share", u"stale"}));
    Handle guest = attach("stale");
    destroyVELDRAHandle(guest);
    destroyVELDRAHandle(e);
    EXPECT_FALSE(exists(session_dir() + "/stale.sock"));
}

class BadSessionNames : public ::testing::TestWithParam<fl::ustring> {};

TEST_P(BadSessionNames, AreRefusedAtOnce) {
    std::string text = thrown_text<EngineException>([] { attachSharedVELDRAAsync(GetParam()); });
    EXPECT_NE(text.find("invalid session name"), std::string::npos) << text;
}

INSTANTIATE_TEST_SUITE_P(All, BadSessionNames,
                         ::testing::Values(u"", u"two words", u"../escape", u"a/b", u"\u00e4rger", u"dot.ted",
                                           fl::ustring(65, u'x'), fl::ustring(u"nul\0x", 5)));

TEST(SharedSessions, LongestNameIsFine) {
    Handle l = attachSharedVELDRAAsync(fl::ustring(64, u'x'));
    EXPECT_THROW(getOutOfProcessVELDRA(l), SharedNotFound);
    destroyVELDRAHandle(l);
}

TEST(SharedSessions, AFolderOpenToOthersIsRefused) {
    findSharedVELDRA();
    ::mkdir(session_dir().c_str(), 0700);
    ASSERT_EQ(::chmod(session_dir().c_str(), 0755), 0);
    EXPECT_THROW(findSharedVELDRA(), EngineException);
    Handle a = attachSharedVELDRAAsync(u"any");
    std::string text = thrown_text<EngineException>([&] { getOutOfProcessVELDRA(a); });
    EXPECT_NE(text.find("0700"), std::string::npos) << text;
    Handle l = createOutOfProcessVELDRAAsync({u"--share", u"any"});
    text = thrown_text<EngineException>([&] { getOutOfProcessVELDRA(l); });
    EXPECT_NE(text.find("0700"), std::string::npos) << text;
    ASSERT_EQ(::chmod(session_dir().c_str(), 0700), 0);
    destroyVELDRAHandle(a);
    destroyVELDRAHandle(l);
    EXPECT_TRUE(children().empty());
}

namespace {
namespace vp = veldra::protocol;

// A bare protocol peer; next() is false at end of stream or after 5 s.
struct RawPeer {
    vp::UniqueFd fd;
    vp::FrameDecoder decoder;
    bool next(vp::Frame& f) {
        std::uint8_t buf[4096];
        while (!decoder.next(f)) {
            if (decoder.failed()) return false;
            if (!vp::wait_readable(fd.get(), vp::Deadline::after(5))) return false;
            std::size_t n = vp::recv_some(fd.get(), buf, sizeof buf, nullptr);
            if (n == 0) return false;
            decoder.feed(buf, n);
        }
        return true;
    }
    void send(vp::MessageType type, std::uint64_t id) {
        auto bytes = vp::encode_frame(type, id, {});
        vp::send_all(fd.get(), bytes.data(), bytes.size());
    }
};
}  // namespace

TEST(SharedSessions, EngineSurvivesNonsenseFromAPeer) {
    Handle owner = getOutOfProcessVELDRA(createOutOfProcessVELDRAAsync({u"--share", u"robust"}));
    RawPeer peer;
    ASSERT_EQ(vp::connect_unix(session_dir() + "/robust.sock", peer.fd), 0);
    vp::Frame f;
    ASSERT_TRUE(peer.next(f));
    ASSERT_EQ(f.type, vp::MessageType::Ready);
    vp::PayloadReader ready(f.payload);
    EXPECT_EQ(ready.u32(), vp::kProtocolVersion);
    EXPECT_EQ(pid_t(ready.u32()), children().at(0));
    EXPECT_GE(ready.u32(), 1u);
    EXPECT_EQ(ready.str(), "robust");

    struct Case {
        vp::MessageType type;
        std::uint64_t id;
        const char* reply;
    };
    for (const Case& c :
         {Case{static_cast<vp::MessageType>(9999), 7, "9999"}, Case{vp::MessageType::Shutdown, 8, "not stopped"},
          Case{vp::MessageType::CallBatch, 9, "malformed"}}) {
        peer.send(c.type, c.id);
        ASSERT_TRUE(peer.next(f));
        EXPECT_EQ(f.type, vp::MessageType::Error);
        EXPECT_EQ(f.request_id, c.id);
        EXPECT_NE(vp::PayloadReader(f.payload).str().find(c.reply), std::string::npos);
    }
    // Garbage ends this connection, not the engine.
    vp::send_all(peer.fd.get(), "garbage-garbage-garbage", 23);
    ASSERT_TRUE(peer.next(f));
    EXPECT_NE(vp::PayloadReader(f.payload).str().find("protocol error"), std::string::npos);
    EXPECT_FALSE(peer.next(f));
    Handle guest = attach("robust");
    EXPECT_TRUE(listed("robust"));
    destroyVELDRAHandle(guest);
    destroyVELDRAHandle(owner);
}
