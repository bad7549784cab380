// Feeds arbitrary bytes to the test collector's IPFIX decoder, once as a
// single message and once as a stream framed message by message (so that
// templates learnt from one message are used on the next).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <ostream>
#include <streambuf>

#include "IpfixDecoder.h"

namespace {

class DiscardBuf : public std::streambuf {
protected:
    int overflow(int c) override { return c; }
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    DiscardBuf buf;
    std::ostream out(&buf);

    ipfixtool::IpfixDecoder single(1, out, true);
    single.decodeMessage(data, size);

    ipfixtool::IpfixDecoder stream(2, out, true);
    size_t pos = 0;
    while (pos < size) {
        const size_t n = std::min(stream.bytesWanted(), size - pos);
        if (n == 0) break;
        if (stream.addBytes(data + pos, n) == ipfixtool::IpfixDecoder::Feed::Broken) break;
        pos += n;
    }
    stream.endOfStream();
    return 0;
}
