#pragma once

#include "Alert.h"
#include "Application.h"
#include "Error.h"
#include "FileLock.h"
#include "SupportFiles.h"

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {
class Task;
class UserDefaults;
}

// What a launch works on, decided once when it starts and passed to each step.
struct LaunchContext {
    std::string bundlePath;
    std::string home; // empty when none was found
    std::optional<std::string> applicationPath; // replaces the default application folders
    std::string zelvantDir; // the client installation
    std::string version; // the client's, once probed
    std::string supportDir; // the support directory of that version
};

class MyApplicationDelegate : public platform::ApplicationDelegate {
public:
    MyApplicationDelegate() = default;
    ~MyApplicationDelegate() override = default;

    void applicationDidFinishLaunching() override;

    void launchX11Application(const LaunchContext&);
    // The client's version, or none when the client gave nothing usable
    // (then the user has been told and the launch must stop).
    std::optional<std::string> determineVersionOfZelclientAt(const std::string& path);
    // The third space-separated field of the client's "-v" output, when it can name a directory.
    static std::optional<std::string> versionFromProbeOutput(std::string_view output);
    void writeZelvantApplicationSupportFiles(const LaunchContext&);
    static std::optional<std::string> manipulateText(
        std::optional<std::string> text, std::string_view home, std::string_view version);
    std::string determineLanguage(const LaunchContext&, platform::UserDefaults&);
    std::string writeLauncherScript(const LaunchContext&);

protected:
    // Seams for tests: where the bundle is and how the hand-off runs.
    virtual std::string bundlePath() const;
    virtual void runHandOffTask(platform::Task&);
    // How long the version probe waits for the client, and then for it to end once asked to.
    std::chrono::milliseconds m_probeTimeLimit { std::chrono::seconds(10) };
    std::chrono::milliseconds m_probeTerminationGrace { std::chrono::seconds(2) };

    // A step failed: say which, on what, and why, on standard error and in
    // the system log; the exit status turns non-zero. With alert texts the
    // user is shown a critical alert too. Every failure takes this one path.
    struct FailureAlert {
        std::string messageText;
        std::string informativeText;
        std::string buttonTitle { "Quit" };
    };
    void reportFailure(std::string_view step, std::string_view detail, int exitStatus, const FailureAlert* = nullptr);
    // reportFailure for the support steps, which hand over errors.
    support::FailureReporter failureReporter();
    // The probe failed: the user is told, and the launch stops.
    std::nullopt_t reportVersionProbeFailure(const std::string& path, const std::string& reason, int exitStatus);

private:
    // Held from the update of the support directory until the script is in it.
    platform::FileLock m_supportDirectoryLock;
    platform::AlertBackend m_alertBackend { platform::AlertBackend::Gtk };
};
