// The frame decoder fed arbitrary bytes in arbitrary pieces, with
// descriptors (some batches short) between them.
//   byte 0: piece length seed   byte 1: descriptor schedule
#include <veldra/protocol/frame.hpp>

#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace protocol = veldra::protocol;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    static const int null_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    const std::size_t piece = std::size_t(data[0] % 64) + 1;
    std::uint8_t schedule = data[1];
    data += 2;
    size -= 2;
    protocol::FrameDecoder decoder(1 << 20);
    protocol::Frame frame;
    std::size_t frames = 0;
    for (std::size_t at = 0; at < size; at += piece) {
        // Bits of the schedule, in turn: whether descriptors come with this
        // piece, how many, and whether some were lost on the way.
        if (schedule & 1) {
            std::vector<protocol::UniqueFd> fds;
            for (int i = 0; i < ((schedule >> 1) & 3); ++i) fds.emplace_back(::dup(null_fd));
            decoder.feed_fds(std::move(fds), (schedule & 8) != 0);
        }
        schedule = static_cast<std::uint8_t>((schedule >> 4) | (schedule << 4)) ^ data[at];
        decoder.feed(data + at, size - at < piece ? size - at : piece);
        while (decoder.next(frame)) {
            ++frames;
            if (frame.payload.size() > (1u << 20) || frame.fds.size() > protocol::kMaxFdsPerFrame) __builtin_trap();
            if (frame.fds_lost && !frame.fds.empty()) __builtin_trap();
        }
        if (decoder.failed()) break;
    }
    (void)frames;
    return 0;
}
