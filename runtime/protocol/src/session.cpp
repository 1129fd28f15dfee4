#include <veldra/protocol/session.hpp>
#include <veldra/protocol/socket.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace veldra::protocol {

namespace {

std::string errno_text(int e) {
    return std::strerror(e);
}

bool ends_with(const std::string& s, const std::string& suffix) {
    return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// Our own folder with no access for anybody else.
void check_private_dir(const std::string& dir) {
    struct stat st;
    if (::lstat(dir.c_str(), &st) != 0)
        throw SessionError("cannot use the session folder " + dir + ": " + errno_text(errno));
    if (!S_ISDIR(st.st_mode)) throw SessionError("the session folder " + dir + " is not a folder");
    if (st.st_uid != ::geteuid())
        throw SessionError("refusing the session folder " + dir + ": it belongs to another user");
    if (st.st_mode & 077)
        throw SessionError("refusing the session folder " + dir +
                           ": it is open to other users (its mode must be 0700)");
}

std::string base_dir() {
    const char* xdg = std::getenv("XDG_RUNTIME_DIR");
    if (xdg && xdg[0] == '/') {
        struct stat st;
        // Usable: an existing folder of ours that nobody else can write to.
        if (::stat(xdg, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & 022) == 0 &&
            ::access(xdg, W_OK | X_OK) == 0)
            return std::string(xdg) + "/veldra";
    }
    return "/tmp/veldra-" + std::to_string(::geteuid());
}

}  // namespace

bool is_valid_session_name(const std::string& name) {
    if (name.empty() || name.size() > kMaxSessionName) return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
    });
}

void check_session_name(const std::string& name) {
    if (is_valid_session_name(name)) return;
    std::string shown = name.size() > 80 ? name.substr(0, 80) + "..." : name;
    throw SessionError("invalid session name '" + shown +
                       "': a session name is 1 to 64 ASCII letters, digits, '_' or '-'");
}

std::string session_dir(bool create) {
    std::string dir = base_dir();
    if (create) {
        if (::mkdir(dir.c_str(), 0700) == 0) {
            ::chmod(dir.c_str(), 0700);  // whatever the umask took away
        } else if (errno != EEXIST) {
            throw SessionError("cannot create the session folder " + dir + ": " + errno_text(errno));
        }
    } else {
        struct stat st;
        if (::lstat(dir.c_str(), &st) != 0 && errno == ENOENT) return std::string();
    }
    check_private_dir(dir);
    return dir;
}

std::string session_socket_path(const std::string& dir, const std::string& name) {
    std::string path = dir + "/" + name + ".sock";
    sockaddr_un addr;
    if (path.size() >= sizeof addr.sun_path)
        throw SessionError("the socket path " + path + " is too long for a Unix socket (at most " +
                           std::to_string(sizeof addr.sun_path - 1) + " bytes)");
    return path;
}

std::string session_lock_path(const std::string& dir, const std::string& name) {
    return dir + "/" + name + ".lock";
}

SessionLock::SessionLock(const std::string& dir, const std::string& name) : path_(session_lock_path(dir, name)) {
    // A finder may unlink a stale lock file between our open and flock; the
    // lock counts only if the path still names the file we locked.
    for (int attempt = 0; attempt < 8; ++attempt) {
        UniqueFd fd(::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
        if (!fd) throw SessionError("cannot open the lock file " + path_ + ": " + errno_text(errno));
        if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
            if (errno == EWOULDBLOCK)
                throw SessionError("the session name '" + name + "' is already in use by a running engine");
            throw SessionError("cannot lock " + path_ + ": " + errno_text(errno));
        }
        struct stat held, named;
        if (::fstat(fd.get(), &held) == 0 && ::stat(path_.c_str(), &named) == 0 && held.st_ino == named.st_ino &&
            held.st_dev == named.st_dev) {
            fd_ = std::move(fd);
            return;
        }
    }
    throw SessionError("cannot lock " + path_ + ": it keeps being replaced");
}

void SessionLock::remove() {
    if (fd_) ::unlink(path_.c_str());
}

std::vector<std::string> list_live_sessions(const std::string& dir) {
    std::vector<std::string> names;
    DIR* d = ::opendir(dir.c_str());
    if (!d) return names;
    std::vector<std::string> entries;
    while (dirent* e = ::readdir(d)) entries.emplace_back(e->d_name);
    ::closedir(d);

    for (const auto& entry : entries) {
        if (!ends_with(entry, ".sock")) continue;
        std::string name = entry.substr(0, entry.size() - 5);
        if (!is_valid_session_name(name)) continue;
        std::string lock = session_lock_path(dir, name);
        UniqueFd fd(::open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
        if (!fd) continue;
        if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
            names.push_back(name);  // held by a running engine
            continue;
        }
        // Nobody holds it: the engine is gone.  Unlink while holding the
        // lock so that an engine starting under this name retries.
        ::unlink((dir + "/" + entry).c_str());
        ::unlink(lock.c_str());
    }
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace veldra::protocol
