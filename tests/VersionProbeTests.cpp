#include "TestSupport.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

// The client stand-in: records its arguments, then follows
// $ZELVANT_TEST_CLIENT: "o:HEX" and "e:HEX" write to standard output and
// error, "p" pauses, "hang" ignores SIGTERM and sleeps.
const bool clientRegistered
    = (test::registerChildBehaviour("fake-client",
           [](int argc, char** argv) {
               // Run through "#!<test binary> --child=fake-client": argv[2] is the script.
               if (const char* record = std::getenv("ZELVANT_TEST_CLIENT_RECORD")) {
                   std::ofstream stream(record, std::ios::app);
                   for (int index = 3; index < argc; ++index)
                       stream << argv[index] << '\n';
               }
               std::istringstream steps(std::getenv("ZELVANT_TEST_CLIENT") ? std::getenv("ZELVANT_TEST_CLIENT") : "");
               for (std::string step; steps >> step;) {
                   if (step == "p") {
                       std::this_thread::sleep_for(20ms);
                   } else if (step == "hang") {
                       std::signal(SIGTERM, SIG_IGN);
                       std::this_thread::sleep_for(120s);
                   } else {
                       std::string bytes = test::fromHex(step.substr(2));
                       if (::write(step[0] == 'e' ? 2 : 1, bytes.data(), bytes.size()) < 0)
                           return 5;
                   }
               }
               return 0;
           }),
        true);

struct ProbeFixture : test::LaunchScratch {
    std::string clientRecord = scratch / "client-record";
    std::string bundle = scratch / "Probe.app";
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

    void installClient() { test::writeFile(client, "#!" + test::testBinaryPath() + " --child=fake-client\n", 0755); }

    // The client follows the steps.
    test::ProcessResult launch(const std::vector<std::string>& steps)
    {
        auto environment = this->environment();
        environment["ZELVANT_TEST_CLIENT_RECORD"] = clientRecord;
        for (const auto& step : steps)
            environment["ZELVANT_TEST_CLIENT"] += step + " ";
        return test::runProgram(bundle + "/Contents/MacOS/Zelvant", { .environment = environment });
    }

    // A failed probe leaves the disk alone and hands nothing off.
    void expectStopped(const test::ProcessResult& result, const std::string& what, const std::string& reason)
    {
        EXPECT_NE(result.status, 0) << what;
        EXPECT_NE(result.error.find("Unable to determine the version of the Zelvant client."), std::string::npos)
            << what << ": " << result.error;
        EXPECT_NE(result.error.find(reason), std::string::npos) << what << ": " << result.error;
        EXPECT_TRUE(std::filesystem::is_empty(supportParent)) << what;
        EXPECT_FALSE(test::exists(record)) << what;
    }
};

std::string out(std::string_view text) { return "o:" + test::toHex(text); }
std::string err(std::string_view text) { return "e:" + test::toHex(text); }

// The launcher's own log entries (an entry may run over several lines).
std::vector<std::string> logEntries(const std::string& standardError)
{
    std::vector<std::string> entries;
    std::istringstream lines(standardError);
    bool inEntry = false;
    for (std::string line; std::getline(lines, line);) {
        size_t marker = line.find(" Zelvant[");
        size_t text = marker == std::string::npos ? marker : line.find("] ", marker);
        if (text != std::string::npos) {
            entries.push_back(line.substr(text + 2));
            inEntry = true;
        } else if (inEntry) {
            entries.back() += "\n" + line;
        }
    }
    return entries;
}

}

TEST_F(ProbeFixture, ClientIsRunWithDashVAndTheRunIsLoggedInOrder)
{
    installClient();
    auto result = launch({ out("zelclient version "), "p", out("3.4.5 (100% %s %n)\n") });
    EXPECT_EQ(result.status, 0) << result.error;
    EXPECT_EQ(test::readFile(clientRecord), "-v\n");
    EXPECT_TRUE(test::exists(test::supportDirectory(home, "3.4.5")));

    // Each chunk as it came, percent signs and all.
    EXPECT_EQ(logEntries(result.error),
        (std::vector<std::string> {
            "Process started.", "zelclient version ", "3.4.5 (100% %s %n)", "Process finished." }))
        << result.error;
}

TEST_F(ProbeFixture, VersionIsTheThirdSpaceSeparatedField)
{
    installClient();
    struct Case {
        std::vector<std::string> steps;
        std::string version;
    } cases[] = {
        { { out("zelclient  2.0 x") }, "2.0" }, // two spaces: the second word
        { { out("zelclient version 1.2.3\n") }, "1.2.3\n" }, // the line break stays
        { { out("zelclient "), "p", err("version 7.7.7 x") }, "7.7.7" }, // standard error counts
        { { out("a b \xC3"), "p", out("\xA9t\xFF") }, "\xC3\xA9t\xEF\xBF\xBD" }, // split and invalid bytes
    };
    for (const auto& [steps, version] : cases) {
        auto result = launch(steps);
        EXPECT_EQ(result.status, 0) << result.error;
        EXPECT_TRUE(test::exists(test::supportDirectory(home, version))) << version << ": " << result.error;
        std::filesystem::remove_all(supportParent + "/Zelvant");
    }
}

TEST_F(ProbeFixture, UnusableClientStopsTheLaunchBeforeTheDisk)
{
    expectStopped(launch({}), "missing client", "could not be started");
    installClient();
    const std::string unusable[] = { "one two", "a b ", "a b .", "a b ..", "a b x/y", std::string("a b c\0d", 7), "" };
    for (const auto& output : unusable)
        expectStopped(launch({ out(output) }), "output \"" + output + "\"", "no usable version");
}

TEST_F(ProbeFixture, HangingClientIsStoppedAfterTenSeconds)
{
    installClient();
    // It ignores the request to terminate, so it has to be killed.
    expectStopped(
        launch({ out("zelclient version 9.9.9"), "hang" }), "hanging client", "did not finish within 10 seconds");
}
