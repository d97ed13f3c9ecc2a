#pragma once

// Shared by the fuzz targets: how a property failure is reported, and the
// references they check against.

#include "UnicodeText.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace fuzz {

// Bytes shown in a message: printable ASCII as is, everything else escaped.
inline std::string printable(std::string_view bytes)
{
    std::string shown = "\"";
    for (char c : bytes.substr(0, 400)) {
        auto byte = static_cast<unsigned char>(c);
        bool plain = byte >= 0x20 && byte < 0x7F && c != '"' && c != '\\';
        shown += plain ? std::string(1, c)
                       : std::string { '\\', 'x', "0123456789abcdef"[byte >> 4], "0123456789abcdef"[byte & 15] };
    }
    return shown + (bytes.size() > 400 ? "\"..." : "\"");
}

// A property does not hold: say which and how, then abort so the fuzzer
// keeps the input as a reproducer.
[[noreturn]] inline void propertyFailed(std::string_view property, std::string_view details = {})
{
    std::fprintf(stderr, "\n*** PROPERTY FAILED: %.*s\n", static_cast<int>(property.size()), property.data());
    if (!details.empty())
        std::fprintf(stderr, "%.*s\n", static_cast<int>(details.size()), details.data());
    std::abort();
}

inline std::string_view bytesOf(const uint8_t* data, size_t size)
{
    return { reinterpret_cast<const char*>(data), size };
}

// UTF-8 decoding by the platform's character decoder (libunistring), one
// character or maximal ill-formed subpart at a time, each subpart U+FFFD.
struct ReferenceDecoding {
    std::string text;
    bool wellFormed { true };
};

inline ReferenceDecoding referenceDecode(std::string_view bytes)
{
    ReferenceDecoding decoding;
    while (!bytes.empty()) {
        char32_t codePoint = 0;
        size_t length = platform::decodeCharacter(bytes, codePoint);
        bool replaced = codePoint == 0xFFFD && bytes.substr(0, length) != "\xEF\xBF\xBD";
        decoding.wellFormed = decoding.wellFormed && !replaced;
        decoding.text += replaced ? std::string_view { "\xEF\xBF\xBD" } : bytes.substr(0, length);
        bytes.remove_prefix(length);
    }
    return decoding;
}

inline bool referenceIsValidUTF8(std::string_view bytes) { return referenceDecode(bytes).wellFormed; }

}
