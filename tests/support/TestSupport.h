#pragma once

#include "PropertyValue.h"
#include "UserDefaults.h"

#include <chrono>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace test {

// Sets (or, with no value, unsets) one variable of this process's
// environment for the object's lifetime; the old state comes back after.
class ScopedEnvironment {
public:
    ScopedEnvironment(std::string name, const std::optional<std::string>& value);
    ~ScopedEnvironment();
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    std::string m_name;
    std::optional<std::string> m_old;
};

// A directory removed with everything in it when the test ends.
class TemporaryDirectory {
public:
    TemporaryDirectory();
    ~TemporaryDirectory();
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;
    const std::string& path() const { return m_path; }
    std::string operator/(const std::string& relative) const { return m_path + "/" + relative; }

private:
    std::string m_path;
};

struct ProcessResult {
    int status { -1 }; // exit code, or 128 + signal
    std::string output; // standard output
    std::string error; // standard error
};

struct RunOptions {
    std::vector<std::string> arguments;
    // Replaces the whole environment when set.
    std::optional<std::map<std::string, std::string>> environment;
    int timeoutSeconds { 60 };
};

// Runs a program directly (no shell) and collects both output streams.
ProcessResult runProgram(const std::string& path, const RunOptions&);

std::string buildDirectory();
std::string launcherPath(); // build/Zelvant.app/Contents/MacOS/Zelvant
std::string testBinaryPath();

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& bytes, unsigned mode = 0644);
void makeDirectories(const std::string& path);
bool exists(const std::string& path); // anything at the path, links included
// text with every target replaced, left to right.
std::string replaceAll(std::string text, const std::string& target, const std::string& replacement);
// Polls done until it holds or the limit passes, so a lost event fails instead of hanging.
bool eventually(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(20));
// The file's bytes once another process has written it; empty after the limit.
std::string waitForFile(const std::string& path, int limitSeconds = 10);

// An environment with only what a launch needs: PATH, HOME, no DISPLAY.
std::map<std::string, std::string> minimalEnvironment(const std::string& home);
// What a launch of the launcher needs: a minimal environment with LANG=C, the
// application folder, the X11 stand-in's record file, the open tool, and the
// sanitizer options of this run.
std::map<std::string, std::string> launchEnvironment(
    const std::string& home, const std::string& applications, const std::string& record);
// HOME/Library/Application Support/Zelvant/VERSION
std::string supportDirectory(const std::string& home, const std::string& version = ZELVANT_TEST_VERSION);

// A NAME.app in folder whose executable is this test binary; run that way it
// appends its arguments, one per line, to the file $ZELVANT_TEST_RECORD.
std::string makeRecordingApplication(const std::string& folder, const std::string& name);

// Run by the open tool, as X11 would: says on the status pipe that the documents' programs run.
void tellOpenToolStarted();

// The test binary re-run as a child: a named behaviour, chosen by the first
// argument "--child=NAME".
void registerChildBehaviour(const std::string& name, std::function<int(int argc, char** argv)>);

// A property list file's bytes, binary or XML, written by libplist.
std::string propertyListBytes(const platform::PropertyValue&, bool binary);

// A bundle of our own at path with a copy of the built launcher, the sample
// client (linked) and copies of the data the support directory is built from;
// its script template is left to the caller. Returns its client installation directory.
std::string makeLauncherBundle(const std::string& path);

// The first executable NAME in the absolute entries of PATH.
std::optional<std::string> programOnPath(const std::string& name);

// Bytes as lower-case hex digits and back, to pass any bytes through argv.
std::string toHex(std::string_view bytes);
std::string fromHex(std::string_view hex);

// Everything below root, by relative path: kind, permission bits and the
// bytes of files or the target of links, and with times, " @" and the
// modification time in nanoseconds at the end. Entries named in skip
// (relative paths) are left out with all they hold.
std::map<std::string, std::string> snapshotTree(
    const std::string& root, const std::vector<std::string>& skip = {}, bool withTimes = false);

// Descriptors this process has open.
size_t openDescriptorCount();
// This process's children, one "PID STATE COMMAND LINE" each.
std::vector<std::string> childProcesses();

// A scratch home (bare) and application folder holding a recording X11, for
// tests that run the launcher as a program.
struct LaunchScratch : ::testing::Test {
    TemporaryDirectory scratch;
    std::string home = scratch / "home";
    std::string applications = scratch / "Applications";
    std::string record = scratch / "x11-record";

    LaunchScratch();
    virtual std::map<std::string, std::string> environment() const
    {
        return launchEnvironment(home, applications, record);
    }
    ProcessResult launch(const std::string& launcher, const std::vector<std::string>& arguments = {}) const;
    // What the X11 application was asked to open (the open tool does not wait for it).
    std::string handedOff() const { return waitForFile(record); }
};

// User defaults read below a scratch home (with a Library/Preferences).
struct DefaultsScratch : ::testing::Test {
    TemporaryDirectory scratch;
    std::string home = scratch / "home";
    std::optional<platform::UserDefaults> defaults;

    DefaultsScratch() { makeDirectories(home + "/Library/Preferences"); }
    // A fresh start of the defaults with these arguments.
    platform::UserDefaults& arguments(std::vector<std::string>);
};

// Built with AddressSanitizer, where every process start costs several times as much.
bool underSanitizers();

}
