#pragma once
// Shared by the engine-client tests: a private session folder, the engine
// under test, and a view of this process's child processes.
#include <engine_api/engine_api.hpp>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

extern char** environ;

namespace client_test {

inline std::string& temp_root() {
    static std::string root;
    return root;
}

// Sets the environment once, before any test starts a thread.
class Env : public ::testing::Environment {
public:
    void SetUp() override {
        char tmpl[] = "/tmp/veldra-ctest-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        temp_root() = tmpl;
        ::setenv("XDG_RUNTIME_DIR", tmpl, 1);
        ::setenv("VELDRA_ENGINE_EXECUTABLE", VELDRA_TEST_ENGINE, 1);
        engine_api::createProcess();
    }
    void TearDown() override {
        engine_api::terminateProcess();
        std::string cmd = "rm -rf '" + temp_root() + "'";
        (void)std::system(cmd.c_str());
    }
};

inline std::string session_dir() {
    return temp_root() + "/veldra";
}

// "pid (comm) state ppid ..." of a live or zombie process.
struct ProcInfo {
    pid_t pid;
    char state;
    pid_t ppid;
};

inline bool proc_info(pid_t pid, ProcInfo& out) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string s;
    if (!std::getline(f, s)) return false;
    auto close = s.rfind(')');
    if (close == std::string::npos) return false;
    std::istringstream rest(s.substr(close + 2));
    out.pid = pid;
    rest >> out.state >> out.ppid;
    return true;
}

// Children of `parent`, zombies included: an engine that is gone and reaped
// is not among them.
inline std::vector<pid_t> children_of(pid_t parent) {
    std::vector<pid_t> out;
    DIR* d = ::opendir("/proc");
    if (!d) return out;
    while (dirent* e = ::readdir(d)) {
        char* end;
        long pid = std::strtol(e->d_name, &end, 10);
        ProcInfo info;
        if (*end == '\0' && pid > 0 && proc_info(pid_t(pid), info) && info.ppid == parent) out.push_back(pid_t(pid));
    }
    ::closedir(d);
    return out;
}

inline std::vector<pid_t> children() {
    return children_of(::getpid());
}

// Polls `cond` for up to `seconds`; for waiting on other processes.
inline bool eventually(const std::function<bool()>& cond, double seconds = 5.0) {
    auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// Runs `f` and returns the text of the std::exception of type E it throws.
template <class E, class F>
std::string thrown_text(F&& f) {
    try {
        f();
    } catch (const E& e) {
        return e.what();
    } catch (const std::exception& e) {
        ADD_FAILURE() << "wrong exception type: " << e.what();
        return {};
    }
    ADD_FAILURE() << "nothing thrown";
    return {};
}

// An engine started by hand (as a user would from a shell) serving the shared
// session `name`; its pid, or -1.
inline pid_t start_shared(const std::string& name) {
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    std::string exe = VELDRA_TEST_ENGINE;
    std::vector<std::string> args{exe, "--share", name, "--threads", "1"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    int rc = ::posix_spawn(&pid, exe.c_str(), &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    return rc == 0 ? pid : -1;
}

}  // namespace client_test
