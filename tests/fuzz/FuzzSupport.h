#pragma once

// Shared by the fuzz targets: how a property failure is reported, and the
// reference they check against.

#include "UnicodeText.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace fuzz {

// A property does not hold: say which, then abort so the fuzzer keeps the
// input as a reproducer (tools/run-fuzz prints it).
[[noreturn]] inline void propertyFailed(const char* property)
{
    std::fprintf(stderr, "\n*** PROPERTY FAILED: %s\n", property);
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
