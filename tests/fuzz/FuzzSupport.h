#pragma once

// Shared by the fuzz targets: how a property failure is reported, how an
// input is cut into fields, and the naive references they check against.

#include "PropertyValue.h"

#include <algorithm>
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
    static const char digits[] = "0123456789abcdef";
    std::string shown = "\"";
    for (char c : bytes.substr(0, 400)) {
        auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7F && c != '"' && c != '\\') {
            shown += c;
        } else {
            shown += "\\x";
            shown += digits[byte >> 4];
            shown += digits[byte & 15];
        }
    }
    shown += bytes.size() > 400 ? "\"..." : "\"";
    return shown;
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

// The first count - 1 fields end at a NUL byte; the last is all the rest
// (NULs included). Missing fields are empty.
inline std::vector<std::string_view> nulSeparatedFields(std::string_view input, size_t count)
{
    std::vector<std::string_view> fields;
    while (fields.size() + 1 < count) {
        size_t end = input.find('\0');
        if (end == std::string_view::npos)
            break;
        fields.push_back(input.substr(0, end));
        input.remove_prefix(end + 1);
    }
    fields.push_back(input);
    fields.resize(count);
    return fields;
}

// Left to right, byte by byte: where target starts, put replacement and skip it.
inline std::string naiveReplace(std::string_view text, std::string_view target, std::string_view replacement)
{
    std::string result;
    size_t index = 0;
    while (index < text.size()) {
        if (text.substr(index, target.size()) == target) {
            result += replacement;
            index += target.size();
        } else {
            result += text[index++];
        }
    }
    return result;
}

// UTF-8 decoding the textbook way: one character or maximal ill-formed
// subpart at a time, each subpart becoming U+FFFD.
struct ReferenceDecoding {
    std::string text;
    bool wellFormed { true };
};

inline ReferenceDecoding referenceDecode(std::string_view bytes)
{
    ReferenceDecoding decoding;
    size_t index = 0;
    while (index < bytes.size()) {
        auto lead = static_cast<unsigned char>(bytes[index]);
        size_t length = 0;
        unsigned char low = 0x80, high = 0xBF;
        if (lead <= 0x7F)
            length = 1;
        else if (lead >= 0xC2 && lead <= 0xDF)
            length = 2;
        else if (lead == 0xE0)
            length = 3, low = 0xA0;
        else if (lead == 0xED)
            length = 3, high = 0x9F;
        else if (lead >= 0xE1 && lead <= 0xEF)
            length = 3;
        else if (lead == 0xF0)
            length = 4, low = 0x90;
        else if (lead == 0xF4)
            length = 4, high = 0x8F;
        else if (lead >= 0xF1 && lead <= 0xF3)
            length = 4;
        size_t taken = 1;
        while (length && taken < length && index + taken < bytes.size()) {
            auto byte = static_cast<unsigned char>(bytes[index + taken]);
            unsigned char min = taken == 1 ? low : 0x80, max = taken == 1 ? high : 0xBF;
            if (byte < min || byte > max)
                break;
            ++taken;
        }
        if (length && taken == length) {
            decoding.text.append(bytes.substr(index, length));
        } else {
            decoding.text += "\xEF\xBF\xBD";
            decoding.wellFormed = false;
        }
        index += taken;
    }
    return decoding;
}

inline bool referenceIsValidUTF8(std::string_view bytes) { return referenceDecode(bytes).wellFormed; }

// How deep arrays and dictionaries nest; 0 for anything else.
inline unsigned depth(const platform::PropertyValue& value)
{
    unsigned deepest = 0;
    if (value.isArray()) {
        for (const auto& element : value.array())
            deepest = std::max(deepest, depth(element));
    } else if (value.isDictionary()) {
        for (const auto& [key, element] : value.dictionary())
            deepest = std::max(deepest, depth(element));
    } else {
        return 0;
    }
    return deepest + 1;
}

// Whether every string in it, keys included, passes the test.
template<typename Test> bool allStrings(const platform::PropertyValue& value, const Test& test)
{
    if (value.isString())
        return test(value.string());
    if (value.isArray()) {
        for (const auto& element : value.array()) {
            if (!allStrings(element, test))
                return false;
        }
    }
    if (value.isDictionary()) {
        for (const auto& [key, element] : value.dictionary()) {
            if (!test(key) || !allStrings(element, test))
                return false;
        }
    }
    return true;
}

}
