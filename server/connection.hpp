#pragma once
// One client connection of the engine: a reader thread that decodes frames
// and hands them to the handler registered for their type; writes are
// serialised so that handlers and workers may answer from any thread.
#include <veldra/protocol/array_codec.hpp>
#include <veldra/protocol/fd.hpp>
#include <veldra/protocol/frame.hpp>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace veldra::engine {

class Connection : public std::enable_shared_from_this<Connection>, public protocol::LoanChannel {
public:
    enum class Kind { Private, Shared };

    Connection(protocol::UniqueFd fd, Kind kind);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    Kind kind() const noexcept { return kind_; }
    // Starts the reader; `on_closed` runs on it once the peer is gone.
    void start(std::function<void(Connection&)> on_closed);
    // False when the peer is gone.
    bool send(protocol::MessageType type, std::uint64_t request_id, const std::vector<std::uint8_t>& payload,
              const std::vector<int>& fds = {});
    bool send_text(protocol::MessageType type, std::uint64_t request_id, const std::string& text);
    // Ends the connection and waits for the reader (not from the reader).
    void close();
    bool finished() const noexcept { return finished_; }
    // For handlers, on the reader: whether bytes of further frames were
    // already read, and the socket, so a handler that keeps the reader busy
    // can peek at what follows.
    bool input_buffered() const noexcept { return decoder_ && decoder_->buffered() > 0; }
    int socket() const noexcept { return fd_.get(); }

    // This connection as the array codec sees it (for lent blocks).
    protocol::PeerLink link() { return {peer_tag_, weak_from_this()}; }
    // Names this connection for as long as the engine runs.
    std::uint64_t tag() const noexcept { return peer_tag_; }
    // Sent at once, from any thread: clients always read what we send.
    void send_loan_released(std::uint64_t id, bool reusable) noexcept override;

private:
    void read_loop(std::function<void(Connection&)> on_closed);

    protocol::UniqueFd fd_;
    Kind kind_;
    std::mutex write_mutex_;
    std::thread reader_;
    std::atomic<bool> finished_{false};
    const protocol::FrameDecoder* decoder_ = nullptr;  // the reader's
    const std::uint64_t peer_tag_ = protocol::new_peer_tag();
};

// Handlers run on the connection's reader thread; anything that takes long
// must go to a worker so the connection keeps reading.
using Handler = std::function<void(const std::shared_ptr<Connection>&, protocol::Frame&&)>;
// Register before connections start.
void register_handler(protocol::MessageType type, Handler handler);

// Asks the main loop to stop the engine (thread- and signal-safe).
void request_stop();

}  // namespace veldra::engine
