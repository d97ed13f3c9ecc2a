#include "MyApplicationDelegate.h"

#include "Alert.h"
#include "Bundle.h"
#include "FileLock.h"
#include "FileManager.h"
#include "OpenTool.h"
#include "Path.h"
#include "ProcessInfo.h"
#include "RunLoop.h"
#include "SimpleTaskWrapperController.h"
#include "SupportFiles.h"
#include "SystemLog.h"
#include "Task.h"
#include "TaskWrapper.h"
#include "Trace.h"
#include "UnicodeText.h"
#include "UserDefaults.h"
#include "Workspace.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <sysexits.h>
#include <vector>

using namespace platform;

void MyApplicationDelegate::applicationDidFinishLaunching()
{
    // text: for tests, and for users who want no dialog.
    if (environmentValue("ZELVANT_ALERT") == "text")
        m_alertBackend = AlertBackend::Text;
    LaunchContext context { .bundlePath = bundlePath(),
        .home = findHomeDirectory().value_or(std::string {}),
        .applicationPath = environmentValue(applicationPathVariable) };
    trace("step: find the X11 application");
    launchX11Application(context);

    context.zelvantDir = stringByAppendingPathComponent(context.bundlePath, "Contents/Resources/zelvant-x.y.z");
    std::string zelclientPath = stringByAppendingPathComponent(context.zelvantDir, "bin/zelclient");
    trace("path: client installation ", context.zelvantDir);

    // Without a usable version nothing on disk may be touched (the user has been told).
    trace("step: determine the client version");
    auto version = determineVersionOfZelclientAt(zelclientPath);
    if (!version)
        Application::sharedApplication().terminate();
    context.version = *version;

    // Without a home there is nowhere the support files may go: nothing is written.
    if (context.home.empty()) {
        FailureAlert alert { "No home directory was found.",
            "The game keeps its files in your home folder, and this session has none. Log in as a user with a "
            "home folder (or set HOME to its full path) and start the game again. Nothing was written." };
        reportFailure(
            "find the home directory", "HOME is not absolute and there is no passwd entry", EX_NOUSER, &alert);
        Application::sharedApplication().terminate();
    }
    context.supportDir
        = stringByAppendingPathComponent(context.home, "Library/Application Support/Zelvant/" + context.version);
    trace("step: write the support files");
    trace("path: support directory ", context.supportDir);
    writeZelvantApplicationSupportFiles(context);

    Task handOff;
    handOff.setLaunchPath("/usr/bin/open");
    auto openTool = openToolExecutable();
    handOff.setExecutable(openTool.path, openTool.argument0);
    trace("step: write the launcher script");
    std::string scriptPath = writeLauncherScript(context);
    m_supportDirectoryLock = {};
    handOff.setArguments({ "-a", "X11", scriptPath });
    trace("step: hand off: /usr/bin/open -a X11 ", scriptPath);
    runHandOffTask(handOff);
    trace("step: done");

    Application::sharedApplication().terminate();
}

std::string MyApplicationDelegate::bundlePath() const { return Bundle::mainBundle().bundlePath(); }

static std::string endedBySignal(int signal)
{
    return "was ended by signal " + std::to_string(signal) + " (" + Task::signalDescription(signal) + ")";
}

void MyApplicationDelegate::runHandOffTask(Task& task)
{
    auto launched = task.launch();
    trace("hand-off: start ", task.launchPath(), ": ", launched);
    std::string failure;
    if (launched) {
        task.waitUntilExit();
        trace("hand-off: exit status ", task.terminationStatus(), task.terminatedBySignal() ? " (signal)" : "");
        int status = task.terminationStatus();
        if (task.terminatedBySignal())
            failure = endedBySignal(status);
        else if (status != 0)
            failure = "exited with status " + std::to_string(status) + " (its reason is on standard error)";
    } else {
        failure = "could not be started: " + launched.error().message();
    }
    if (failure.empty())
        return;
    std::string script = task.arguments().empty() ? std::string {} : ", for " + task.arguments().back();
    FailureAlert alert { "Unable to start the Zelvant client.",
        "There may be no display to show the game on, or its files are damaged. Start the game from your "
        "desktop; if it fails there too, reinstall it. The system log says what went wrong." };
    reportFailure("hand-off to X11", "open tool " + task.executable() + " " + failure + script, EX_UNAVAILABLE, &alert);
}

void MyApplicationDelegate::reportFailure(
    std::string_view step, std::string_view detail, int exitStatus, const FailureAlert* alertTexts)
{
    std::string line = "Zelvant: " + std::string { step } + ": " + std::string { detail };
    std::fputs((line + "\n").c_str(), stderr);
    systemLogOnly(line, LogLevel::Error);
    Application::sharedApplication().noteFailure(exitStatus);
    if (!alertTexts)
        return;
    Alert alert
        = Alert::alertWithMessageText(alertTexts->messageText, alertTexts->buttonTitle, alertTexts->informativeText);
    alert.setAlertStyle(AlertStyle::Critical);
    alert.runModal(m_alertBackend);
}

support::FailureReporter MyApplicationDelegate::failureReporter()
{
    return
        [this](std::string_view step, const Error& error, int status) { reportFailure(step, error.message(), status); };
}

void MyApplicationDelegate::launchX11Application(const LaunchContext& context)
{
    Workspace workspace { context.applicationPath, context.home.empty() ? std::nullopt : std::optional { context.home },
        context.bundlePath };
    auto x11 = workspace.fullPathForApplication("X11");
    trace("X11 application: ", x11);
    if (x11)
        return;

    FailureAlert alert { "Unable to locate the X11 application.",
        "Perhaps X11 is not installed on your system, or you moved it to a different location after installation?",
        "Okay" };
    reportFailure("find the X11 application", "no X11.app in the application folders", EX_UNAVAILABLE, &alert);
    Application::sharedApplication().terminate();
}

// Output shown in a message: control bytes escaped, long text cut short.
static std::string quotedOutput(const std::string& text)
{
    constexpr size_t shown = 200;
    return "\"" + escapedControlBytes(std::string_view { text }.substr(0, shown))
        + (text.size() > shown ? "\"…" : "\"");
}

std::nullopt_t MyApplicationDelegate::reportVersionProbeFailure(
    const std::string& path, const std::string& reason, int exitStatus)
{
    FailureAlert alert { "Unable to determine the version of the Zelvant client.",
        exitStatus == EX_TEMPFAIL ? "The game did not answer in time; it was not started. Try again, or reinstall it."
                                  : "The game's files are damaged or incomplete; it was not started. Reinstall it." };
    reportFailure("version probe", path + ": " + reason, exitStatus, &alert);
    return std::nullopt;
}

std::optional<std::string> MyApplicationDelegate::determineVersionOfZelclientAt(const std::string& path)
{
    SimpleTaskWrapperController controller;
    auto wrapper = TaskWrapper::taskWrapperWithController(&controller, path, std::vector<std::string> { "-v" });
    wrapper->setGatherOutput(true);
    // A usable version is short: past this the output is read and dropped.
    constexpr size_t keptOutput = size_t { 64 } * 1024;
    wrapper->setGatherLimit(keptOutput);
    auto started = wrapper->startProcess();
    trace("version probe: start ", path, " -v: ", started);
    if (!started)
        return reportVersionProbeFailure(
            path, "could not be started (" + started.error().message() + ")", EX_UNAVAILABLE);

    RunLoop& runLoop = RunLoop::current();
    bool timedOut = false;
    RunLoop::Registration killTimer;
    // A client that hangs is asked to end after the limit, and made to end a little later.
    auto terminateTimer = runLoop.scheduleTimer(RunLoop::Clock::now() + m_probeTimeLimit, [&] {
        timedOut = true;
        wrapper->task()->terminate();
        killTimer
            = runLoop.scheduleTimer(RunLoop::Clock::now() + m_probeTerminationGrace, [&] { wrapper->task()->kill(); });
    });
    wrapper->waitUntilExit();
    if (timedOut) {
        auto limit = m_probeTimeLimit.count();
        return reportVersionProbeFailure(path,
            "did not finish within "
                + (limit % 1000 ? std::to_string(limit) + " ms" : std::to_string(limit / 1000) + " seconds")
                + " and was stopped",
            EX_TEMPFAIL);
    }
    // A crash may have cut the version short; an end the wrapper caused after the output ended is no crash.
    const Task& task = *wrapper->task();
    if (task.terminatedBySignal() && !(wrapper->terminatedAfterEndOfOutput() && task.terminatedOnRequest()))
        return reportVersionProbeFailure(path, endedBySignal(task.terminationStatus()), EX_SOFTWARE);

    std::string text = *wrapper->output();
    trace("version probe: output ", quotedOutput(text));
    auto version = versionFromProbeOutput(text);
    // A version that runs into the cut may go on past it.
    if (!version || (text.size() == keptOutput && text.ends_with(*version)))
        return reportVersionProbeFailure(path,
            "gave no usable version: the third space-separated word of its output " + quotedOutput(text)
                + " must name a directory",
            EX_DATAERR);
    trace("version probe: version ", *version);
    return version;
}

// One directory's name, no longer than a file name may be, and not hidden
// ("." and ".." among them): no place for the game's files.
std::optional<std::string> MyApplicationDelegate::versionFromProbeOutput(std::string_view output)
{
    constexpr size_t longestFileName = 255;
    constexpr auto none = std::string_view::npos;
    size_t first = output.find(' ');
    size_t second = first == none ? none : output.find(' ', first + 1);
    if (second == none)
        return std::nullopt;
    std::string_view version = output.substr(second + 1, output.find(' ', second + 1) - second - 1);
    if (version.empty() || version.size() > longestFileName || version.front() == '.' || version.find('/') != none
        || version.find('\0') != none)
        return std::nullopt;
    return std::string { version };
}

void MyApplicationDelegate::writeZelvantApplicationSupportFiles(const LaunchContext& context)
{
    FileManager& fileManager = FileManager::defaultManager();
    auto report = failureReporter();
    std::string parent = stringByDeletingLastPathComponent(context.supportDir);
    // A fresh home has none of "Library/Application Support/Zelvant".
    if (!fileManager.fileExistsAtPath(parent))
        support::createParentChain(parent, report);
    // Launches take turns from here until their script is written.
    auto lock = FileLock::lockExclusive(parent);
    trace("lock ", parent, ": ", lock);
    if (lock)
        m_supportDirectoryLock = std::move(*lock);
    else
        report("lock the support directory parent", lock.error(), EX_CANTCREAT);

    auto record = support::syncRecordOf(parent, context.version);
    // One that is there already is brought up to date, not rebuilt.
    support::prepareDirectory(context.supportDir, "",
        { .remove = "remove the old support directory", .create = "create the support directory" }, report);

    for (const auto& entry : support::entries) {
        std::string source = stringByAppendingPathComponent(context.zelvantDir, entry.relativePath);
        std::string destination = stringByAppendingPathComponent(context.supportDir, entry.relativePath);
        switch (entry.action) {
        case support::Action::Copy: {
            // Every entry that did not arrive is named; the others still do.
            std::string step = std::string { "copy " } + entry.relativePath;
            auto copied = fileManager.synchronizeItemAtPath(source, destination,
                { .failure = [&](const Error& error) { report(step, error, EX_IOERR); }, .record = &record });
            trace("copy (bring up to date) ", source, " to ", destination, ": ", copied);
            break;
        }
        case support::Action::CreateDirectory: {
            std::string step = std::string { "create " } + entry.relativePath;
            support::prepareDirectory(destination, entry.relativePath, { .remove = step, .create = step }, report);
            break;
        }
        case support::Action::Rewrite: {
            std::string step = std::string { "rewrite " } + entry.relativePath;
            auto text = manipulateText(support::readText(source, step, report), context.home, context.version);
            if (auto placed = support::placeText(destination, text, fileManager.defaultFilePermissions()); !placed)
                report(step, placed.error(), EX_CANTCREAT);
            break;
        }
        }
    }
    // Without it the next launch only compares more.
    trace("write the sync record: ", record.write());
}

std::optional<std::string> MyApplicationDelegate::manipulateText(
    std::optional<std::string> text, std::string_view home, std::string_view version)
{
    if (!text)
        return text;
    support::replaceOccurrences(*text, "/Users/login", home);
    support::replaceOccurrences(*text, "version", version);
    return text;
}

// Where a default came from, for the trace.
static std::string_view domainName(std::optional<UserDefaults::Domain> domain)
{
    return domain ? UserDefaults::domainName(*domain) : "no domain";
}

// A preferred language that can name an entry of the catalogue directory, and nothing outside it.
static bool isCatalogueEntryName(const PropertyValue& language)
{
    if (!language.isString())
        return false;
    const std::string& name = language.string();
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos
        && name.find('\0') == std::string::npos;
}

std::string MyApplicationDelegate::determineLanguage(const LaunchContext& context, UserDefaults& defaults)
{
    auto lang = environmentValue("LANG");
    trace("language: LANG ", lang);
    if (lang)
        return *lang;

    FileManager& fileManager = FileManager::defaultManager();
    std::string defaultLocale = "en";
    auto languages = defaults.objectForKey("AppleLanguages");
    trace("language: AppleLanguages ", languages, " (", domainName(defaults.domainForKey("AppleLanguages")), ")");
    if (languages && languages->isArray() && !languages->array().empty()) {
        const auto& list = languages->array();
        bool firstIsEnglish = list[0].isString() && list[0].string() == "en";
        std::string catalogue = stringByAppendingPathComponent(context.zelvantDir, "share/locale");
        bool isDirectory = false;
        bool searchCatalogue = !firstIsEnglish && fileManager.fileExistsAtPath(catalogue, isDirectory) && isDirectory;
        if (firstIsEnglish)
            trace("language: English comes first, the catalogue is not searched");
        else
            trace("language: catalogue ", catalogue, searchCatalogue ? ": searched" : ": not a directory");
        if (searchCatalogue) {
            for (const auto& language : list) {
                bool hit = isCatalogueEntryName(language)
                    && fileManager.fileExistsAtPath(stringByAppendingPathComponent(catalogue, language.string()));
                trace("language: catalogue entry ", language, hit ? ": found" : ": not found");
                if (hit) {
                    defaultLocale = language.string();
                    break;
                }
            }
        }
    }

    defaults.registerDefaults({ { "locale", defaultLocale } });
    // A stored value that cannot be read as a string leaves the computed one.
    auto stored = defaults.stringForKey("locale");
    trace("language: locale ", stored, " (", domainName(defaults.domainForKey("locale")), "), default ", defaultLocale);
    std::string locale = stored.value_or(defaultLocale);
    if (characterCount(locale) == 2)
        locale += "_" + uppercaseString(locale);
    trace("language: chosen ", locale);
    return locale;
}

std::string MyApplicationDelegate::writeLauncherScript(const LaunchContext& context)
{
    std::string templatePath = stringByAppendingPathComponent(context.zelvantDir, "../run-zelvant-template.py");
    auto report = failureReporter();
    auto text = support::readText(templatePath, "reading the launcher script template", report);

    // The language is chosen whether or not there is a template to fill.
    FileManager& fileManager = FileManager::defaultManager();
    UserDefaults defaults { fileManager, context.home, Bundle::mainBundle().bundleIdentifier(),
        Application::sharedApplication().arguments() };
    std::string language = determineLanguage(context, defaults);
    // Each pass searches what an earlier one inserted.
    if (text) {
        support::replaceOccurrences(*text, "[zelvantdir]", context.zelvantDir);
        support::replaceOccurrences(*text, "[homedir]", context.home);
        support::replaceOccurrences(*text, "[lang]", language);
        support::replaceOccurrences(*text, "[supportdir]", context.supportDir);
    }

    std::string scriptPath = stringByAppendingPathComponent(context.supportDir, support::launcherScriptName);
    auto placed = support::placeText(scriptPath, text, 0744);
    bool written = text && placed;
    if (!placed)
        report("writing the launcher script", placed.error(), EX_CANTCREAT);
    // Set explicitly, whatever the umask; without a script its failure was named already.
    auto permissions = fileManager.setPosixPermissions(scriptPath, 0744);
    trace("set mode 0744 on ", scriptPath, ": ", permissions);
    if (!permissions && written)
        report("making the launcher script executable", permissions.error(), EX_IOERR);
    return scriptPath;
}
