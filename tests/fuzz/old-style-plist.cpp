// The old-style property list parser of the argument domain: whatever it
// accepts keeps valid UTF-8 valid, in keys and strings at any depth.

#include "FuzzSupport.h"
#include "OldStylePropertyList.h"

#include <algorithm>

namespace {

bool stringsAreValid(const platform::PropertyValue& value)
{
    if (value.isString())
        return fuzz::referenceIsValidUTF8(value.string());
    if (value.isArray())
        return std::ranges::all_of(value.array(), stringsAreValid);
    return !value.isDictionary() || std::ranges::all_of(value.dictionary(), [](const auto& entry) {
        return fuzz::referenceIsValidUTF8(entry.first) && stringsAreValid(entry.second);
    });
}

}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string_view text = fuzz::bytesOf(data, size);
    auto value = platform::parseOldStylePropertyList(text);
    if (value && fuzz::referenceIsValidUTF8(text) && !stringsAreValid(*value))
        fuzz::propertyFailed("valid UTF-8 in gives valid UTF-8 strings out");
    return 0;
}
