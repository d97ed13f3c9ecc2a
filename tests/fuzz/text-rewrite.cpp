// The two-pass rewrite of the support files: "/Users/login" becomes the home
// directory, then "version" the version, each pass over the whole text left
// by the one before.
//
// Input: HOME, NUL, version, NUL, text (the text may hold NULs).

#include "FuzzSupport.h"
#include "MyApplicationDelegate.h"

#include <pwd.h>
#include <unistd.h>

namespace {

// Where the home directory comes from when HOME is empty.
std::string passwdHome()
{
    struct passwd* entry = getpwuid(getuid());
    return entry && entry->pw_dir ? entry->pw_dir : "/";
}

}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    auto fields = fuzz::nulSeparatedFields(fuzz::bytesOf(data, size), 3);
    std::string home { fields[0] };
    std::string_view version = fields[1];
    std::string text { fields[2] };
    setenv("HOME", home.c_str(), 1);

    std::string expected = fuzz::naiveReplace(text, "/Users/login", home.empty() ? passwdHome() : home);
    expected = fuzz::naiveReplace(expected, "version", version);

    auto rewritten = MyApplicationDelegate::manipulateText(text, version);
    if (rewritten != expected) {
        fuzz::propertyFailed("the rewrite equals the naive two passes, home first",
            "HOME:     " + fuzz::printable(home) + "\nversion:  " + fuzz::printable(version) + "\ntext:     "
                + fuzz::printable(text) + "\nresult:   " + (rewritten ? fuzz::printable(*rewritten) : "none")
                + "\nexpected: " + fuzz::printable(expected));
    }
    if (MyApplicationDelegate::manipulateText(std::nullopt, version))
        fuzz::propertyFailed("no text in, no text out");
    return 0;
}
