#pragma once

#include <cstddef>
#include <span>
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
    // The same for bytes in a buffer of the caller's that may be rewritten,
    // with headroom writable bytes in front of them: a held-back character is
    // put there, so the text is usually a view of the buffer, not a copy.
    std::string_view decodeInPlace(std::span<char> bytes, size_t headroom);
    // End of the stream: a character still incomplete becomes U+FFFD.
    std::string_view finish();
    bool hasPendingBytes() const { return m_pendingLength; }
    // Text of the last call that must outlive the next one: when it lies in
    // the decoder's own buffer, that buffer is moved to owner; either way the
    // text returned holds the same characters and stays valid.
    std::string_view detach(std::string_view text, std::string& owner);

private:
    std::string_view decodeWhole(std::string_view bytes);
    void decodeInto(std::string_view bytes, std::string& text);

    char m_pending[4] {};
    size_t m_pendingLength { 0 };
    std::string m_text;
    std::string m_joined;
};

// Whether bytes are well-formed UTF-8 that ends with a complete character.
bool isValidUTF8(std::string_view bytes);

}
