#pragma once
// Where shared sessions live: a per-user folder of mode 0700,
// $XDG_RUNTIME_DIR/veldra when that is usable, else /tmp/veldra-<uid>.
// Session NAME has the socket NAME.sock and the lock file NAME.lock, which
// its engine holds (flock) for as long as it runs, so a socket whose lock
// can be taken is stale.
#include <veldra/protocol/fd.hpp>

#include <stdexcept>
#include <string>
#include <vector>

namespace veldra::protocol {

// A session that cannot be set up or reached for a reason the user can fix.
class SessionError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

inline constexpr std::size_t kMaxSessionName = 64;

// 1-64 ASCII letters, digits, '_' or '-'.
bool is_valid_session_name(const std::string& name);
// Throws SessionError naming the session and the rule.
void check_session_name(const std::string& name);

// The folder, checked to be this user's with no group/other access; made
// when `create` (else "" when it does not exist).  Throws SessionError.
std::string session_dir(bool create);
std::string session_socket_path(const std::string& dir, const std::string& name);
std::string session_lock_path(const std::string& dir, const std::string& name);

// The lock of a live session: held while the engine runs.
class SessionLock {
public:
    // Takes the lock of `name` in `dir`; throws SessionError when another
    // engine holds it.
    SessionLock(const std::string& dir, const std::string& name);
    const std::string& lock_path() const noexcept { return path_; }
    // Removes the lock file (the lock itself ends with the process).
    void remove();

private:
    std::string path_;
    UniqueFd fd_;
};

// Names of sessions whose engine is alive, sorted; files of dead ones are
// removed on the way.
std::vector<std::string> list_live_sessions(const std::string& dir);

}  // namespace veldra::protocol
