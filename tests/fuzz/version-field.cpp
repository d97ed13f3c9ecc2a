// The version probe's split of the client's "-v" output: the version is
// field 2 of the output cut at every single space, when that field can name
// a directory.

#include "FuzzSupport.h"
#include "MyApplicationDelegate.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string_view output = fuzz::bytesOf(data, size);

    std::vector<std::string> fields(1);
    for (char c : output) {
        if (c == ' ')
            fields.emplace_back();
        else
            fields.back() += c;
    }
    std::optional<std::string> expected;
    if (fields.size() >= 3) {
        const std::string& field = fields[2];
        // One directory name: at most 255 bytes, as a file name on Linux.
        bool namesDirectory = !field.empty() && field.size() <= 255 && field != "." && field != "..";
        for (char c : field)
            namesDirectory = namesDirectory && c != '/' && c != '\0';
        if (namesDirectory)
            expected = field;
    }

    auto version = MyApplicationDelegate::versionFromProbeOutput(output);
    if (version != expected) {
        fuzz::propertyFailed("the version is field 2 of the output split at every space",
            "output:   " + fuzz::printable(output) + "\nversion:  " + (version ? fuzz::printable(*version) : "none")
                + "\nexpected: " + (expected ? fuzz::printable(*expected) : "none"));
    }
    return 0;
}
