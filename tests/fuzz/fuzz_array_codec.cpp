// The array decoder fed an arbitrary payload with two sealed memory files as
// the frame's descriptors.  Whatever it accepts must encode and decode again
// to the same bytes.
#include <veldra/protocol/array_codec.hpp>
#include <veldra/protocol/payload.hpp>

#include <qx/matrix.hpp>
#include <qx/qx.hpp>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace protocol = veldra::protocol;

namespace {
protocol::UniqueFd sealed_file(std::size_t bytes) {
    protocol::UniqueFd fd(::memfd_create("fuzz-block", MFD_CLOEXEC | MFD_ALLOW_SEALING));
    if (!fd || ::ftruncate(fd.get(), static_cast<off_t>(bytes)) != 0 ||
        ::fcntl(fd.get(), F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW) != 0)
        __builtin_trap();
    return fd;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<protocol::UniqueFd> fds;
    fds.push_back(sealed_file(1 << 17));
    fds.push_back(sealed_file(1 << 16));
    // Its structure alone, as for a frame whose descriptors were lost.
    protocol::PayloadReader skipped(data, size);
    protocol::release_lost_loans(skipped, 1, protocol::PeerLink{});

    protocol::PayloadReader in(data, size);
    matrix::unique_array_ptr a;
    try {
        a = protocol::decode_array(in, fds, nullptr);
    } catch (const protocol::ArrayCodecError&) {
        return 0;
    }
    protocol::PayloadWriter w;
    protocol::OutgoingFds out;
    protocol::encode_array(a.get(), w, out);  // anything decoded can be sent on
    std::vector<protocol::UniqueFd> again;
    for (int fd : out.fds) again.emplace_back(::dup(fd));
    protocol::PayloadReader in2(w.data());
    auto b = protocol::decode_array(in2, again, nullptr);
    if (!in2.done()) __builtin_trap();
    protocol::PayloadWriter w2;
    protocol::OutgoingFds out2;
    protocol::encode_array(b.get(), w2, out2);
    if (w2.data().size() != w.data().size()) __builtin_trap();
    return 0;
}
