#include "TestSupport.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <regex>
#include <sstream>

namespace {

const std::string tracePrefix = "Zelvant trace: ";

// No LANG, so the user defaults decide the language.
struct TraceFixture : test::LaunchScratch {
    std::string support = test::supportDirectory(home);
    std::optional<std::string> trace;

    std::map<std::string, std::string> environment() const override
    {
        auto environment = LaunchScratch::environment();
        environment.erase("LANG");
        if (trace)
            environment["ZELVANT_LAUNCHER_TRACE"] = *trace;
        return environment;
    }
};

// The trace lines (prefix cut), and the other lines (system log time stamps and ids cut).
std::pair<std::string, std::string> split(const std::string& error)
{
    static const std::regex stamp { R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} Zelvant\[\d+:\d+\] )" };
    std::pair<std::string, std::string> parts;
    std::istringstream lines { error };
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with(tracePrefix))
            parts.first += line.substr(tracePrefix.size()) + "\n";
        else
            parts.second += std::regex_replace(line, stamp, "LOG ") + "\n";
    }
    return parts;
}

// Each expected text is part of a trace line, each on a later line than the one before.
void expectInOrder(const std::string& trace, const std::vector<std::string>& expected)
{
    size_t at = 0;
    for (const auto& text : expected) {
        at = trace.find(text, at);
        ASSERT_NE(at, std::string::npos) << "no trace line with \"" << text << "\" in its place:\n" << trace;
        at = trace.find('\n', at);
    }
}

}

TEST_F(TraceFixture, TraceShowsTheStepsPathsAndLanguageDecisionInOrderAndAddsNothingElse)
{
    std::vector<std::string> arguments { "-AppleLanguages", "(xx, de)" };
    trace = "1";
    auto traced = launch(test::launcherPath(), arguments);
    EXPECT_EQ(traced.status, 0) << traced.error;
    auto tracedError = split(traced.error);
    std::string client = test::buildDirectory() + "/Zelvant.app/Contents/Resources/zelvant-x.y.z";
    const std::vector<std::string> expected {
        "step: find the X11 application",
        "X11 application: " + applications + "/X11.app",
        "path: client installation " + client,
        "step: determine the client version",
        "version probe: start " + client + "/bin/zelclient -v: ok",
        std::string { "version probe: version " } + ZELVANT_TEST_VERSION,
        "step: write the support files",
        "path: support directory " + support,
        "create directory " + home + "/Library: ok",
        "create directory " + support + ": ok",
        "copy " + client + "/fonts to " + support + "/fonts: ok",
        "write " + support + "/pango/pangorc: ok",
        "step: write the launcher script",
        "read " + client + "/../run-zelvant-template.py: ok",
        "language: LANG none",
        "language: AppleLanguages (\"xx\", \"de\") (argument domain)",
        "language: catalogue " + client + "/share/locale: searched",
        "language: catalogue entry \"xx\": not found",
        "language: catalogue entry \"de\": found",
        "language: locale de (registration domain)",
        "language: chosen de_DE",
        "write " + support + "/run-zelvant.py: ok",
        "step: hand off: /usr/bin/open -a X11 " + support + "/run-zelvant.py",
        "hand-off: exit status 0",
        "step: done",
    };
    expectInOrder(tracedError.first, expected);

    // Off, or set to "0": not one line more than the trace adds, and the same others.
    for (const auto& setting : { std::optional<std::string> {}, std::optional<std::string> { "0" } }) {
        trace = setting;
        auto plain = launch(test::launcherPath(), arguments);
        EXPECT_EQ(plain.status, 0) << plain.error;
        auto [plainTrace, plainRest] = split(plain.error);
        EXPECT_EQ(plainTrace, "");
        EXPECT_EQ(plainRest, tracedError.second);
    }
}

TEST_F(TraceFixture, TraceNamesTheDomainAValueCameFromAndEachFailedFileOperation)
{
    // The locale stored in the application domain wins over the computed one;
    // a bundle without a script template fails to read it.
    std::string preferences = home + "/Library/Preferences";
    test::writeFile(preferences + "/org.zelvant.launcher.plist",
        test::propertyListBytes(platform::PropertyValue::Dictionary { { "locale", "fr" } }, true));
    test::writeFile(preferences + "/.GlobalPreferences.plist", "not a property list");
    std::string bundle = scratch / "Other.app";
    std::string client = test::makeLauncherBundle(bundle);
    test::writeFile(
        bundle + "/Contents/Info.plist", test::readFile(test::buildDirectory() + "/Zelvant.app/Contents/Info.plist"));

    trace = "1";
    auto result = launch(bundle + "/Contents/MacOS/Zelvant");
    EXPECT_NE(result.status, 0);
    const std::vector<std::string> expected {
        "read " + client + "/../run-zelvant-template.py: failed: open: " + client
            + "/../run-zelvant-template.py: No such file or directory",
        "user defaults: read the application domain " + preferences + "/org.zelvant.launcher.plist: ok, 1 keys",
        "user defaults: read the global domain " + preferences + "/.GlobalPreferences.plist: failed",
        "language: AppleLanguages none (no domain)",
        "language: locale fr (application domain), default en",
        "language: chosen fr_FR",
        "set mode 0744 on " + support + "/run-zelvant.py: failed",
    };
    expectInOrder(split(result.error).first, expected);
}
