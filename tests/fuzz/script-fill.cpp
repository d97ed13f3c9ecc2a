// The four-pass placeholder fill of the launcher script template, each pass
// over the whole text left by the one before.
//
// Input: client directory, NUL, home, NUL, language, NUL, support directory,
// NUL, template (the template may hold NULs).

#include "FuzzSupport.h"
#include "MyApplicationDelegate.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    auto fields = fuzz::nulSeparatedFields(fuzz::bytesOf(data, size), 5);
    std::string_view templateText = fields[4];

    std::string expected = fuzz::naiveReplace(templateText, "[zelvantdir]", fields[0]);
    expected = fuzz::naiveReplace(expected, "[homedir]", fields[1]);
    expected = fuzz::naiveReplace(expected, "[lang]", fields[2]);
    expected = fuzz::naiveReplace(expected, "[supportdir]", fields[3]);

    std::string filled = MyApplicationDelegate::fillLauncherScriptTemplate(std::string { templateText },
        { .zelvantDir = fields[0], .homeDir = fields[1], .language = fields[2], .supportDir = fields[3] });
    if (filled != expected) {
        fuzz::propertyFailed("the fill equals the naive four passes in order",
            "values:   " + fuzz::printable(fields[0]) + " " + fuzz::printable(fields[1]) + " "
                + fuzz::printable(fields[2]) + " " + fuzz::printable(fields[3])
                + "\ntemplate: " + fuzz::printable(templateText) + "\nresult:   " + fuzz::printable(filled)
                + "\nexpected: " + fuzz::printable(expected));
    }
    return 0;
}
