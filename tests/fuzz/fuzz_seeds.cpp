// Writes the seed corpora of the fuzz targets: fuzz_seeds DIR makes
// DIR/frame_decoder and DIR/array_codec (which must exist) full of inputs.
#include <veldra/protocol/array_codec.hpp>
#include <veldra/protocol/frame.hpp>
#include <veldra/protocol/payload.hpp>

#include <qx/block.hpp>
#include <qx/matrix.hpp>
#include <qx/qx.hpp>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace protocol = veldra::protocol;
using Bytes = std::vector<std::uint8_t>;

namespace {

void write(const std::string& path, const Bytes& b) {
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

Bytes encoded(const qxArray* a) {
    protocol::PayloadWriter w;
    protocol::OutgoingFds fds;
    protocol::encode_array(a, w, fds);
    return w.take();
}

matrix::unique_array_ptr numbers(qxSize m, qxSize n, qxComplexity c) {
    matrix::unique_array_ptr a(qxCreateNumericMatrix(m, n, qxDOUBLE_CLASS, c));
    auto* d = static_cast<double*>(qxGetData(a.get()));
    for (qxSize i = 0; i < m * n; ++i) d[i] = double(i) / 3;
    return a;
}

matrix::unique_array_ptr text(const std::u16string& t) {
    const qxSize dims[2] = {1, t.size()};
    matrix::unique_array_ptr a(qxCreateCharArray(2, dims));
    std::copy(t.begin(), t.end(), static_cast<qxChar*>(qxGetData(a.get())));
    return a;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz_seeds DIR\n");
        return 2;
    }
    const std::string dir = argv[1];
    std::vector<std::pair<std::string, matrix::unique_array_ptr>> arrays;
    arrays.emplace_back("scalar", numbers(1, 1, qxREAL));
    arrays.emplace_back("complex", numbers(3, 2, qxCOMPLEX));
    arrays.emplace_back("large", numbers(8192, 1, qxREAL));  // descriptor 0
    arrays.emplace_back("text", text(u"seed text"));
    {
        matrix::unique_array_ptr s(qxCreateSparse(4, 3, 3, qxREAL));
        qxSize* ir = qxGetIr(s.get());
        qxSize* jc = qxGetJc(s.get());
        ir[0] = 0, ir[1] = 3, ir[2] = 1;
        jc[0] = 0, jc[1] = 2, jc[2] = 2, jc[3] = 3;
        arrays.emplace_back("sparse", std::move(s));
    }
    {
        const char* names[] = {"a", "bb"};
        matrix::unique_array_ptr s(qxCreateStructMatrix(1, 2, 2, names));
        qxSetFieldByNumber(s.get(), 0, 0, numbers(2, 2, qxREAL).release());
        qxSetFieldByNumber(s.get(), 1, 1, text(u"x").release());
        matrix::unique_array_ptr c(qxCreateCellMatrix(1, 3));
        qxSetCell(c.get(), 0, s.release());
        qxSetCell(c.get(), 2, qxCreateFunctionHandle("sin"));
        arrays.emplace_back("containers", std::move(c));
    }
    {
        const qxSize dims[2] = {1, 2};
        const std::uint64_t ids[2] = {7, 9};
        arrays.emplace_back("objects", matrix::unique_array_ptr(qx::createObjectArray(2, dims, ids, nullptr)));
    }
    for (const auto& [name, a] : arrays) write(dir + "/array_codec/" + name, encoded(a.get()));
    {
        // A copy in a pack: 65536 bytes of descriptor 1 at offset 0.
        protocol::PayloadWriter w;
        w.u8(qxDOUBLE_CLASS).u64(2).u64(8192).u64(1).u8(0).u8(3).u64(65536).u32(1).u64(0);
        write(dir + "/array_codec/packed", w.take());
    }

    // Frames: a call with a few arguments, then a cancel and a loan notice.
    protocol::PayloadWriter call;
    call.str("identity").u32(1).u8(0).u32(2);
    Bytes args = encoded(arrays[1].second.get());
    Bytes more = encoded(arrays[5].second.get());
    call.bytes(args.data(), args.size()).bytes(more.data(), more.size());
    Bytes stream = {8, 0};
    auto add = [&](const Bytes& frame) { stream.insert(stream.end(), frame.begin(), frame.end()); };
    add(protocol::encode_frame(protocol::MessageType::Call, 1, call.data()));
    add(protocol::encode_frame(protocol::MessageType::Cancel, 1, {}));
    add(protocol::encode_frame(protocol::MessageType::LoanReleased, 0, protocol::loan_released_payload(3, true)));
    write(dir + "/frame_decoder/calls", stream);
    Bytes withFds = {3, 0x13};  // two descriptors, then more with a short batch
    const Bytes f = protocol::encode_frame(protocol::MessageType::CallResult, 2, Bytes(40, 1), 2);
    withFds.insert(withFds.end(), f.begin(), f.end());
    withFds.insert(withFds.end(), f.begin(), f.end());
    write(dir + "/frame_decoder/descriptors", withFds);
    return 0;
}
