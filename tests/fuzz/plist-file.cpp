// The property list file reader (libplist behind our pre-check): hostile
// bytes neither crash nor hang it; what it accepts converts to values that
// nest no deeper than the limit, and survives a round trip through
// libplist's binary writer unchanged when its strings are UTF-8 without NULs.

#include "FuzzSupport.h"
#include "PropertyList.h"

#include <cmath>
#include <plist/plist.h>

using platform::PropertyList;
using platform::PropertyValue;

namespace {

bool writableText(std::string_view text)
{
    return fuzz::referenceIsValidUTF8(text) && text.find('\0') == std::string_view::npos;
}

// libplist writes a string that is not UTF-8 as UTF-16 with the bad bytes
// dropped (and may then refuse what it wrote), and reads a written string
// back only up to a NUL: only UTF-8 without NULs makes the trip. Checked on
// the nodes, since a duplicate key hides a value from the converted one.
bool writable(plist_t node)
{
    switch (plist_get_node_type(node)) {
    case PLIST_STRING: {
        uint64_t length = 0;
        const char* text = plist_get_string_ptr(node, &length);
        return text && writableText({ text, static_cast<size_t>(length) });
    }
    case PLIST_ARRAY:
        for (uint32_t i = 0; i < plist_array_get_size(node); ++i) {
            if (!writable(plist_array_get_item(node, i)))
                return false;
        }
        return true;
    case PLIST_DICT: {
        plist_dict_iter iterator = nullptr;
        plist_dict_new_iter(node, &iterator);
        bool result = true;
        for (;;) {
            char* key = nullptr;
            plist_t item = nullptr;
            plist_dict_next_item(node, iterator, &key, &item);
            if (!item) {
                std::free(key);
                break;
            }
            result = writableText(key ? key : "") && writable(item);
            std::free(key);
            if (!result)
                break;
        }
        std::free(iterator);
        return result;
    }
    default:
        return true;
    }
}

// Equality that takes a NaN to equal itself.
bool same(const PropertyValue& a, const PropertyValue& b)
{
    if (a.isReal() && b.isReal())
        return a.real() == b.real() || (std::isnan(a.real()) && std::isnan(b.real()));
    if (a.isArray() && b.isArray()) {
        const auto &left = a.array(), &right = b.array();
        if (left.size() != right.size())
            return false;
        for (size_t i = 0; i < left.size(); ++i) {
            if (!same(left[i], right[i]))
                return false;
        }
        return true;
    }
    if (a.isDictionary() && b.isDictionary()) {
        const auto &left = a.dictionary(), &right = b.dictionary();
        if (left.size() != right.size())
            return false;
        for (auto l = left.begin(), r = right.begin(); l != left.end(); ++l, ++r) {
            if (l->first != r->first || !same(l->second, r->second))
                return false;
        }
        return true;
    }
    return a == b;
}

}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string_view bytes = fuzz::bytesOf(data, size);
    auto list = PropertyList::fromBytes(bytes);
    if (!list)
        return 0;
    auto value = list->value();
    if (!value)
        return 0;
    if (fuzz::depth(*value) > PropertyList::maximumDepth + 1)
        fuzz::propertyFailed("what is accepted converts to values no deeper than the limit",
            "depth " + std::to_string(fuzz::depth(*value)));

    if (!writable(static_cast<plist_t>(list->root())))
        return 0;
    char* written = nullptr;
    uint32_t length = 0;
    plist_to_bin(static_cast<plist_t>(list->root()), &written, &length);
    if (!written)
        fuzz::propertyFailed("what is accepted can be written back", "input: " + fuzz::printable(bytes));
    std::string binary { written, length };
    std::free(written);
    auto again = PropertyList::fromBytes(binary);
    if (!again)
        fuzz::propertyFailed("what libplist writes back is accepted",
            "input:   " + fuzz::printable(bytes) + "\nwritten: " + fuzz::printable(binary));
    auto valueAgain = again->value();
    if (!valueAgain || !same(*valueAgain, *value))
        fuzz::propertyFailed("what libplist writes back reads as the same value",
            "input:   " + fuzz::printable(bytes) + "\nwritten: " + fuzz::printable(binary));
    return 0;
}
