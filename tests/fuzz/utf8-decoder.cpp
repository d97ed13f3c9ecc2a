// The decoder of the client's output: however the byte stream is cut into
// chunks, and whichever way each chunk is handed over, the text that comes
// out is the textbook decoding of the whole stream, and every piece of it is
// valid UTF-8.
//
// Input: one byte whose low four bits give a count n, n chunk descriptors
// (low six bits: a length, used in turn; top two bits: decode, or
// decodeInPlace with ample or scarce headroom), then the stream.

#include "FuzzSupport.h"
#include "UTF8Decoder.h"

#include <memory>

namespace {

// Each chunk alone in a buffer of its own size plus headroom, so that
// AddressSanitizer sees any access outside it.
std::string decodeChunk(platform::UTF8Decoder& decoder, std::string_view bytes, unsigned mode)
{
    size_t headroom = mode == 1 ? 16 : mode == 2 ? 1 : 0;
    auto buffer = std::make_unique<char[]>(headroom + bytes.size());
    std::copy(bytes.begin(), bytes.end(), buffer.get() + headroom);
    std::span<char> piece { buffer.get() + headroom, bytes.size() };
    return std::string { mode == 1 || mode == 2 ? decoder.decodeInPlace(piece, headroom)
                                                : decoder.decode({ piece.data(), piece.size() }) };
}

}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string_view input = fuzz::bytesOf(data, size);
    if (input.empty())
        return 0;
    size_t count = std::min<size_t>(static_cast<unsigned char>(input[0]) & 15u, input.size() - 1);
    std::string_view chunks = input.substr(1, count), stream = input.substr(1 + count);
    auto reference = fuzz::referenceDecode(stream);
    if (platform::isValidUTF8(stream) != reference.wellFormed)
        fuzz::propertyFailed("isValidUTF8 agrees with the textbook decoder");

    platform::UTF8Decoder decoder;
    std::string text;
    for (size_t next = 0, offset = 0; offset <= stream.size(); ++next) {
        unsigned chunk = chunks.empty() ? 63u : static_cast<unsigned char>(chunks[next % chunks.size()]);
        // Zero lengths alone would never end: in time the rest goes at once.
        size_t length
            = std::min<size_t>(next > stream.size() + 16 ? stream.size() : chunk & 63u, stream.size() - offset);
        std::string piece = offset == stream.size() ? std::string { decoder.finish() }
                                                    : decodeChunk(decoder, stream.substr(offset, length), chunk >> 6);
        if (!fuzz::referenceIsValidUTF8(piece))
            fuzz::propertyFailed("every piece is valid UTF-8");
        text += piece;
        offset += offset == stream.size() ? 1 : length;
    }
    if (text != reference.text || decoder.hasPendingBytes())
        fuzz::propertyFailed("decoding in chunks gives the textbook decoding of the whole stream");
    return 0;
}
