#include "TestSupport.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <sstream>

namespace {

struct ProbeFixture : test::LaunchScratch {
    std::string clientRecord = scratch / "client-record";
    std::string bundle = scratch / "Probe.app";
    std::string launcher = bundle + "/Contents/MacOS/Zelvant";
    std::string client = bundle + "/Contents/Resources/zelvant-x.y.z/bin/zelclient";
    std::string supportParent = home + "/Library/Application Support";

    void SetUp() override
    {
        test::makeDirectories(supportParent);
        test::makeLauncherBundle(bundle);
        test::writeFile(bundle + "/Contents/Resources/run-zelvant-template.py", "[supportdir]\n", 0755);
        // Each test puts its own client in place, or none.
        std::filesystem::remove(client);
    }

    // Launches with a client that records its arguments, then runs these commands.
    test::ProcessResult launchWithClient(const std::string& commands)
    {
        test::writeFile(client, "#!/bin/sh\nprintf '%s\\n' \"$@\" >>'" + clientRecord + "'\n" + commands + "\n", 0755);
        return launch(launcher);
    }

    // A failed probe leaves the disk alone and hands nothing off.
    void expectStopped(const test::ProcessResult& result, const std::string& what, const std::string& reason)
    {
        EXPECT_NE(result.status, 0) << what;
        EXPECT_NE(result.error.find("Unable to determine the version of the Zelvant client."), std::string::npos) << what << ": " << result.error;
        EXPECT_NE(result.error.find(reason), std::string::npos) << what << ": " << result.error;
        EXPECT_TRUE(std::filesystem::is_empty(supportParent)) << what;
        EXPECT_FALSE(test::exists(record)) << what;
    }
};

// The launcher's own log entries (an entry may run over several lines).
std::vector<std::string> logEntries(const std::string& standardError)
{
    std::vector<std::string> entries;
    std::istringstream lines(standardError);
    for (std::string line; std::getline(lines, line);) {
        size_t marker = line.find(" Zelvant[");
        size_t text = marker == std::string::npos ? marker : line.find("] ", marker);
        if (text != std::string::npos)
            entries.push_back(line.substr(text + 2));
        else if (!entries.empty())
            entries.back() += "\n" + line;
    }
    return entries;
}

}

TEST_F(ProbeFixture, ClientIsRunWithDashVAndTheRunIsLoggedInOrder)
{
    auto result = launchWithClient("printf 'zelclient version '; sleep 0.02; printf '3.4.5 (100%% %%s %%n)\\n'");
    EXPECT_EQ(result.status, 0) << result.error;
    EXPECT_EQ(test::readFile(clientRecord), "-v\n");
    EXPECT_TRUE(test::exists(test::supportDirectory(home, "3.4.5")));
    // Each chunk as it came, percent signs and all.
    EXPECT_EQ(logEntries(result.error), (std::vector<std::string> { "Process started.", "zelclient version ", "3.4.5 (100% %s %n)", "Process finished." }))
        << result.error;
}

TEST_F(ProbeFixture, VersionIsTheThirdSpaceSeparatedField)
{
    const std::pair<std::string, std::string> cases[] = {
        { "printf 'zelclient  2.0 x'", "2.0" }, // two spaces: the second word
        { "printf 'zelclient version 1.2.3\\n'", "1.2.3\n" }, // the line break stays
        { "printf 'zelclient '; sleep 0.02; printf 'version 7.7.7 x' >&2", "7.7.7" }, // standard error counts
        { "printf 'a b \\303'; sleep 0.02; printf '\\251t\\377'", "\xC3\xA9t\xEF\xBF\xBD" }, // split and invalid bytes
    };
    for (const auto& [commands, version] : cases) {
        auto result = launchWithClient(commands);
        EXPECT_EQ(result.status, 0) << result.error;
        EXPECT_TRUE(test::exists(test::supportDirectory(home, version))) << version << ": " << result.error;
        std::filesystem::remove_all(supportParent + "/Zelvant");
    }
}

TEST_F(ProbeFixture, UnusableClientStopsTheLaunchBeforeTheDisk)
{
    expectStopped(launch(launcher), "missing client", "could not be started");
    for (const char* output : { "one two", "a b ", "a b .", "a b ..", "a b x/y", "a b c\\000d", "" })
        expectStopped(launchWithClient(std::string { "printf '" } + output + "'"), std::string { "output \"" } + output + "\"", "no usable version");
}

TEST_F(ProbeFixture, HangingClientIsStoppedAfterTenSeconds)
{
    // It ignores the request to terminate, so it has to be killed.
    expectStopped(launchWithClient("printf 'zelclient version 9.9.9'; trap '' TERM; exec sleep 120"), "hanging client", "did not finish within 10 seconds");
}
