#include "shared_session.hpp"

#include <veldra/protocol/socket.hpp>

#include <cerrno>
#include <cstring>
#include <system_error>

#include <sys/stat.h>
#include <unistd.h>

namespace veldra::engine {

SharedSession::SharedSession(const std::string& name) : name_(name) {
    protocol::check_session_name(name);
    std::string dir = protocol::session_dir(true);
    socket_path_ = protocol::session_socket_path(dir, name);
    lock_ = std::make_unique<protocol::SessionLock>(dir, name);
    // Holding the lock, any socket file left under this name is stale.
    if (::unlink(socket_path_.c_str()) != 0 && errno != ENOENT)
        throw protocol::SessionError("cannot remove the stale socket " + socket_path_ + ": " + std::strerror(errno));
    // Nobody but us may connect; the folder already keeps others out.
    mode_t old = ::umask(0177);
    try {
        listen_ = protocol::listen_unix(socket_path_, 64);
    } catch (const std::system_error& e) {
        ::umask(old);
        lock_->remove();
        throw protocol::SessionError("cannot listen on " + socket_path_ + ": " + e.code().message());
    }
    ::umask(old);
    ::chmod(socket_path_.c_str(), 0600);
    struct stat st;
    if (::stat(socket_path_.c_str(), &st) == 0) {
        dev_ = st.st_dev;
        ino_ = st.st_ino;
    }
}

void SharedSession::remove() {
    if (removed_) return;
    removed_ = true;
    struct stat st;
    if (::stat(socket_path_.c_str(), &st) == 0 && st.st_dev == dev_ && st.st_ino == ino_)
        ::unlink(socket_path_.c_str());
    lock_->remove();
}

}  // namespace veldra::engine
