// The decoder of the client's output: however the byte stream is cut into
// chunks, the text that comes out is the decoding of the whole stream, and
// every piece of it is valid UTF-8.
//
// Input: a count n (low four bits of the first byte), n chunk descriptors,
// then the stream. A descriptor's low six bits give a chunk length (used in
// turn until the stream runs out), its top two bits how the chunk is handed
// over: decode, or decodeInPlace with ample or scarce headroom.

#include "FuzzSupport.h"
#include "UTF8Decoder.h"

#include <memory>

using platform::UTF8Decoder;

namespace {

enum class Mode { Decode, InPlace, InPlaceScarceHeadroom, DecodeAgain };

struct Chunk {
    size_t length;
    Mode mode;
};

// Each chunk sits alone in a buffer of its own size (plus headroom), so
// AddressSanitizer sees any read past it.
std::string decodeChunk(UTF8Decoder& decoder, std::string_view bytes, Mode mode)
{
    size_t headroom = mode == Mode::InPlace ? 16 : mode == Mode::InPlaceScarceHeadroom ? 1 : 0;
    auto buffer = std::make_unique<char[]>(headroom + bytes.size());
    std::copy(bytes.begin(), bytes.end(), buffer.get() + headroom);
    if (mode == Mode::InPlace || mode == Mode::InPlaceScarceHeadroom)
        return std::string { decoder.decodeInPlace({ buffer.get() + headroom, bytes.size() }, headroom) };
    return std::string { decoder.decode({ buffer.get(), bytes.size() }) };
}

void checkPiece(std::string_view piece, std::string_view stream)
{
    if (!fuzz::referenceIsValidUTF8(piece))
        fuzz::propertyFailed("every piece of decoded text is valid UTF-8",
            "piece:  " + fuzz::printable(piece) + "\nstream: " + fuzz::printable(stream));
    if (!platform::isValidUTF8(piece))
        fuzz::propertyFailed("isValidUTF8 accepts valid UTF-8", "piece: " + fuzz::printable(piece));
}

}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string_view input = fuzz::bytesOf(data, size);
    if (input.empty())
        return 0;
    size_t count = static_cast<unsigned char>(input[0]) & 15;
    input.remove_prefix(1);
    std::vector<Chunk> chunks;
    for (size_t i = 0; i < count && !input.empty(); ++i) {
        auto descriptor = static_cast<unsigned char>(input[0]);
        chunks.push_back({ descriptor & 63u, static_cast<Mode>(descriptor >> 6) });
        input.remove_prefix(1);
    }
    if (chunks.empty())
        chunks.push_back({ input.size(), Mode::Decode });
    std::string_view stream = input;

    auto reference = fuzz::referenceDecode(stream);
    if (platform::isValidUTF8(stream) != reference.wellFormed)
        fuzz::propertyFailed(
            reference.wellFormed ? "isValidUTF8 accepts valid UTF-8" : "isValidUTF8 refuses ill-formed UTF-8",
            "stream: " + fuzz::printable(stream));

    UTF8Decoder wholeDecoder;
    std::string whole = decodeChunk(wholeDecoder, stream, Mode::Decode);
    whole += wholeDecoder.finish();
    if (whole != reference.text) {
        fuzz::propertyFailed("the whole stream decodes as the textbook decoder does",
            "stream:   " + fuzz::printable(stream) + "\ndecoded:  " + fuzz::printable(whole)
                + "\nexpected: " + fuzz::printable(reference.text));
    }

    UTF8Decoder decoder;
    std::string text;
    std::vector<Chunk> cuts;
    size_t next = 0;
    size_t emptyInARow = 0;
    for (std::string_view rest = stream; !rest.empty(); next = (next + 1) % chunks.size()) {
        Chunk chunk = chunks[next];
        // Chunk lengths that are all zero would never end: the rest goes at once.
        if (++emptyInARow > chunks.size())
            chunk.length = rest.size();
        if (chunk.length)
            emptyInARow = 0;
        std::string_view bytes = rest.substr(0, chunk.length);
        rest.remove_prefix(bytes.size());
        std::string piece = decodeChunk(decoder, bytes, chunk.mode);
        checkPiece(piece, stream);
        text += piece;
        cuts.push_back({ bytes.size(), chunk.mode });
    }
    std::string last { decoder.finish() };
    checkPiece(last, stream);
    text += last;
    if (decoder.hasPendingBytes())
        fuzz::propertyFailed("nothing is held back after finish");
    if (text != whole) {
        std::string shown;
        for (const auto& cut : cuts)
            shown += std::to_string(cut.length) + "/" + std::to_string(static_cast<int>(cut.mode)) + " ";
        fuzz::propertyFailed("decoding in chunks gives the decoding of the whole stream",
            "stream:  " + fuzz::printable(stream) + "\nchunks (length/mode): " + shown
                + "\nchunked: " + fuzz::printable(text) + "\nwhole:   " + fuzz::printable(whole));
    }
    return 0;
}
