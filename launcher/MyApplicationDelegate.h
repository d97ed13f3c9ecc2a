#pragma once

#include "Application.h"
#include "Error.h"
#include "FileLock.h"

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {
class Task;
}

class MyApplicationDelegate : public platform::ApplicationDelegate {
public:
    MyApplicationDelegate() = default;
    ~MyApplicationDelegate() override = default;

    void applicationDidFinishLaunching() override;

    void launchX11Application();
    // The client's version, or none when the client gave nothing usable
    // (then the user has been told and the launch must stop).
    std::optional<std::string> determineVersionOfZelclientAt(const std::string& path);
    // The third space-separated field of the client's "-v" output, when it can name a directory.
    static std::optional<std::string> versionFromProbeOutput(std::string_view output);
    void writeZelvantApplicationSupportFiles();
    static std::optional<std::string> manipulateText(std::optional<std::string> text, std::string_view version);
    std::string determineLanguage();
    std::string writeLauncherScript();
    struct LauncherScriptValues {
        std::string_view zelvantDir;
        std::string_view homeDir;
        std::string_view language;
        std::string_view supportDir;
    };
    static std::string fillLauncherScriptTemplate(std::string text, const LauncherScriptValues&);

    const std::string& zelvantDirPath() const { return m_zelvantDirPath; }
    const std::string& supportFilesDirPath() const { return m_supportFilesDirPath; }

protected:
    // Seams for tests: where the two paths come from and how the hand-off runs.
    virtual std::string bundlePath() const;
    virtual void runHandOffTask(platform::Task&);
    static void setOpenTool(platform::Task&);
    void setZelvantDirPath(std::string path) { m_zelvantDirPath = std::move(path); }
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
    void reportFailure(std::string_view step, const platform::Error&, int exitStatus);
    void reportVersionProbeFailure(const std::string& path, const std::string& reason, int exitStatus);

private:
    std::string m_zelvantDirPath;
    std::string m_supportFilesDirPath;
    // Held from the update of the support directory until the script is in it.
    platform::FileLock m_supportDirectoryLock;
};
