// The old-style property list parser of the argument domain: whatever it
// accepts nests no deeper than the limit (one array more around it is
// refused just past the limit), keeps valid UTF-8 valid, and, printed back
// in old-style form (quoted, or bare where it can be), parses again to the
// same value.

#include "FuzzSupport.h"
#include "OldStylePropertyList.h"

using platform::PropertyValue;

namespace {

enum class Quoting { Double, BareWherePossible };

void printString(const std::string& string, Quoting quoting, std::string& out)
{
    bool bare = quoting == Quoting::BareWherePossible && !string.empty() && string.find("//") == std::string::npos
        && string.find("/*") == std::string::npos;
    for (char c : string) {
        bare = bare
            && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '$'
                || c == '/' || c == ':' || c == '.' || c == '-');
    }
    if (bare) {
        out += string;
        return;
    }
    char quote = quoting == Quoting::Double ? '"' : '\'';
    out += quote;
    for (char c : string) {
        auto byte = static_cast<unsigned char>(c);
        if (c == quote || c == '\\') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\r') {
            out += "\\r";
        } else if (byte < 0x20 || byte == 0x7F) {
            // Three octal digits, so a digit after it is not read as part of it.
            out += '\\';
            out += static_cast<char>('0' + (byte >> 6));
            out += static_cast<char>('0' + ((byte >> 3) & 7));
            out += static_cast<char>('0' + (byte & 7));
        } else {
            out += c;
        }
    }
    out += quote;
}

void print(const PropertyValue& value, Quoting quoting, std::string& out)
{
    static const char digits[] = "0123456789abcdef";
    if (value.isString()) {
        printString(value.string(), quoting, out);
    } else if (value.isArray()) {
        out += '(';
        const char* separator = "";
        for (const auto& element : value.array()) {
            out += separator;
            print(element, quoting, out);
            separator = quoting == Quoting::Double ? ", " : ",";
        }
        out += ')';
    } else if (value.isDictionary()) {
        out += '{';
        for (const auto& [key, element] : value.dictionary()) {
            printString(key, quoting, out);
            out += quoting == Quoting::Double ? " = " : "=";
            print(element, quoting, out);
            out += quoting == Quoting::Double ? "; " : ";";
        }
        out += '}';
    } else if (value.isData()) {
        out += '<';
        for (char c : value.data().bytes) {
            out += digits[static_cast<unsigned char>(c) >> 4];
            out += digits[c & 15];
            if (quoting == Quoting::Double)
                out += ' ';
        }
        out += '>';
    } else {
        fuzz::propertyFailed("the parser makes only strings, data, arrays and dictionaries");
    }
}

}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string_view text = fuzz::bytesOf(data, size);
    auto value = platform::parseOldStylePropertyList(text);
    if (!value)
        return 0;
    if (fuzz::depth(*value) > platform::maximumOldStylePropertyListDepth)
        fuzz::propertyFailed(
            "what is accepted nests no deeper than the limit", "depth " + std::to_string(fuzz::depth(*value)));
    if (fuzz::referenceIsValidUTF8(text) && !fuzz::allStrings(*value, fuzz::referenceIsValidUTF8))
        fuzz::propertyFailed("valid UTF-8 in gives valid UTF-8 strings out", "text: " + fuzz::printable(text));
    // One array more around it reads as that array up to the limit, and is refused past it.
    auto wrapped = platform::parseOldStylePropertyList("(" + std::string { text } + "\n)");
    if (fuzz::depth(*value) < platform::maximumOldStylePropertyListDepth) {
        if (!wrapped || *wrapped != PropertyValue { PropertyValue::Array { *value } })
            fuzz::propertyFailed(
                "an array around what is accepted reads as that array", "text: " + fuzz::printable(text));
    } else if (wrapped) {
        fuzz::propertyFailed("nesting past the limit is refused", "depth " + std::to_string(fuzz::depth(*wrapped)));
    }
    for (Quoting quoting : { Quoting::Double, Quoting::BareWherePossible }) {
        std::string printed;
        print(*value, quoting, printed);
        auto again = platform::parseOldStylePropertyList(printed);
        if (!again)
            fuzz::propertyFailed("what is printed back parses again",
                "text:    " + fuzz::printable(text) + "\nprinted: " + fuzz::printable(printed));
        if (*again != *value) {
            std::string reprinted;
            print(*again, quoting, reprinted);
            fuzz::propertyFailed("what is printed back parses to the same value",
                "text:      " + fuzz::printable(text) + "\nprinted:   " + fuzz::printable(printed)
                    + "\nreprinted: " + fuzz::printable(reprinted));
        }
    }
    return 0;
}
