#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace platform {

// Turns a byte stream that arrives in pieces into UTF-8 text piece by piece:
// a character split between two pieces comes out whole with the second one,
// and every ill-formed sequence becomes U+FFFD (one per maximal subpart).
class UTF8Decoder {
public:
    // The text of the next bytes of the stream: either bytes itself or a view
    // of the decoder's own buffer, valid until the next call.
    std::string_view decode(std::string_view bytes);
    // End of the stream: a character still incomplete becomes U+FFFD.
    std::string_view finish();
    bool hasPendingBytes() const { return m_pendingLength; }

private:
    void decodeInto(std::string_view bytes, std::string& text);

    char m_pending[4] {};
    size_t m_pendingLength { 0 };
    std::string m_text;
};

// Whether bytes are well-formed UTF-8 that ends with a complete character.
bool isValidUTF8(std::string_view bytes);

}
