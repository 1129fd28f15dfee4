#pragma once
// The listening side of a shared session.
#include <veldra/protocol/fd.hpp>
#include <veldra/protocol/session.hpp>

#include <memory>
#include <string>

#include <sys/types.h>

namespace veldra::engine {

class SharedSession {
public:
    // Takes the name (its lock), replaces a stale socket and listens; throws
    // protocol::SessionError with the reason.
    explicit SharedSession(const std::string& name);
    int listen_fd() const noexcept { return listen_.get(); }
    const std::string& socket_path() const noexcept { return socket_path_; }
    // Removes the socket (only if it is still ours) and the lock file.
    void remove();

private:
    std::string name_;
    std::string socket_path_;
    std::unique_ptr<protocol::SessionLock> lock_;
    protocol::UniqueFd listen_;
    dev_t dev_ = 0;
    ino_t ino_ = 0;
    bool removed_ = false;
};

}  // namespace veldra::engine
