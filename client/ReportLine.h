// The client's report is one line of name=value fields. A value is written
// bare when it is non-empty and holds only printable ASCII other than space,
// '"', '\' and '='; otherwise it is written in double quotes, with \\ for '\',
// \" for '"', \n, \r, \t, and \xHH for every other control byte, for bytes
// that are not UTF-8 and for the UTF-8 forms of U+0080..U+009F, U+2028 and
// U+2029. Other UTF-8 text stays as it is. So every value reads back exactly,
// and the report is one line.
#pragma once

#include <string>
#include <string_view>

std::string reportValue(std::string_view value);
