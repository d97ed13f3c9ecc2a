#pragma once

#include "PropertyValue.h"

#include <optional>
#include <string_view>

namespace platform {

// Old-style (text) property lists: strings quoted or bare, (arrays),
// {dictionaries}, <hex data>, // and /* */ comments. None when the text is
// malformed, holds anything after its one value, or nests deeper than
// maximumOldStylePropertyListDepth.
std::optional<PropertyValue> parseOldStylePropertyList(std::string_view text);

inline constexpr unsigned maximumOldStylePropertyListDepth = 256;

}
