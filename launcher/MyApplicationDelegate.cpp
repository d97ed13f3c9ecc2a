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

    // Without a usable version nothing on disk may be touched: the user has
    // been told and the exit status is set; stop here.
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
            failure = "was ended by signal " + std::to_string(status) + " (" + Task::signalDescription(status) + ")";
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

void MyApplicationDelegate::reportFailure(std::string_view step, const Error& error, int exitStatus)
{
    reportFailure(step, error.message(), exitStatus);
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

// The probe could not learn the version: the launch stops, and the user is told what failed.
void MyApplicationDelegate::reportVersionProbeFailure(
    const std::string& path, const std::string& reason, int exitStatus)
{
    FailureAlert alert { "Unable to determine the version of the Zelvant client.",
        exitStatus == EX_TEMPFAIL ? "The game did not answer in time; it was not started. Try again, or reinstall it."
                                  : "The game's files are damaged or incomplete; it was not started. Reinstall it." };
    reportFailure("version probe", path + ": " + reason, exitStatus, &alert);
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
    if (!started) {
        reportVersionProbeFailure(path, "could not be started (" + started.error().message() + ")", EX_UNAVAILABLE);
        return std::nullopt;
    }

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
        reportVersionProbeFailure(path,
            "did not finish within "
                + (limit % 1000 ? std::to_string(limit) + " ms" : std::to_string(limit / 1000) + " seconds")
                + " and was stopped",
            EX_TEMPFAIL);
        return std::nullopt;
    }
    // A client that crashed may have been cut off in the middle of its version;
    // one that the wrapper ended after its output had ended did not crash.
    const Task& task = *wrapper->task();
    if (task.terminatedBySignal() && !(wrapper->terminatedAfterEndOfOutput() && task.terminatedOnRequest())) {
        int signal = task.terminationStatus();
        reportVersionProbeFailure(path,
            "was ended by signal " + std::to_string(signal) + " (" + Task::signalDescription(signal) + ")",
            EX_SOFTWARE);
        return std::nullopt;
    }

    std::string text = *wrapper->output();
    trace("version probe: output ", quotedOutput(text));
    auto version = versionFromProbeOutput(text);
    // A version that runs into the cut may go on past it.
    if (!version || (text.size() == keptOutput && text.ends_with(*version))) {
        reportVersionProbeFailure(path,
            "gave no usable version: the third space-separated word of its output " + quotedOutput(text)
                + " must name a directory",
            EX_DATAERR);
        return std::nullopt;
    }
    trace("version probe: version ", *version);
    return version;
}

// The client's version must name one directory: the third field, present,
// not empty, without "/" or NUL, and no longer than a file name may be (else
// every step after it fails on the name alone). Nor may it start with ".":
// besides "." and "..", a hidden name is no place for the game's files.
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
    auto report = [this](std::string_view step, const Error& error, int status) { reportFailure(step, error, status); };
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
        reportFailure("lock the support directory parent", lock.error(), EX_CANTCREAT);

    auto record = support::syncRecordOf(context.supportDir);
    // One that is there already is brought up to date, not rebuilt.
    support::prepareDirectory(context.supportDir, "",
        { .remove = "remove the old support directory", .create = "create the support directory" }, report);

    auto rewrite = [&](std::optional<std::string> text) {
        return manipulateText(std::move(text), context.home, context.version);
    };
    for (const auto& entry : support::entries) {
        std::string source = stringByAppendingPathComponent(context.zelvantDir, entry.relativePath);
        std::string destination = stringByAppendingPathComponent(context.supportDir, entry.relativePath);
        switch (entry.action) {
        case support::Action::Copy:
            support::copyEntry(source, destination, entry, &record, report);
            break;
        case support::Action::CreateDirectory: {
            std::string step = std::string { "create " } + entry.relativePath;
            support::prepareDirectory(destination, entry.relativePath, { .remove = step, .create = step }, report);
            break;
        }
        case support::Action::Rewrite:
            support::rewriteEntry(source, destination, entry, rewrite, report);
            break;
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

// Each pass runs over the whole current text, so what an earlier pass
// inserted is searched by the later ones.
std::string MyApplicationDelegate::fillLauncherScriptTemplate(std::string text, const LauncherScriptValues& values)
{
    support::replaceOccurrences(text, "[zelvantdir]", values.zelvantDir);
    support::replaceOccurrences(text, "[homedir]", values.homeDir);
    support::replaceOccurrences(text, "[lang]", values.language);
    support::replaceOccurrences(text, "[supportdir]", values.supportDir);
    return text;
}

// Where a default came from, for the trace.
static std::string_view domainName(std::optional<UserDefaults::Domain> domain)
{
    return domain ? UserDefaults::domainName(*domain) : "no domain";
}

// A preferred language that can name an entry inside the catalogue directory
// and nothing outside it.
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
    FileManager& fileManager = FileManager::defaultManager();
    std::string templatePath = stringByAppendingPathComponent(context.zelvantDir, "../run-zelvant-template.py");
    std::optional<std::string> text;
    auto contents = support::readTextFile(templatePath);
    trace("read ", templatePath, ": ", contents);
    if (contents)
        text = std::move(*contents);
    else
        reportFailure("reading the launcher script template", contents.error(), EX_NOINPUT);

    // The language is chosen whether or not there is a template to fill.
    UserDefaults defaults { FileManager::defaultManager(), context.home, Bundle::mainBundle().bundleIdentifier(),
        Application::sharedApplication().arguments() };
    std::string language = determineLanguage(context, defaults);
    if (text)
        text = fillLauncherScriptTemplate(std::move(*text),
            { .zelvantDir = context.zelvantDir,
                .homeDir = context.home,
                .language = language,
                .supportDir = context.supportDir });

    std::string scriptPath = stringByAppendingPathComponent(context.supportDir, support::launcherScriptName);
    auto placed = support::placeText(scriptPath, text, 0744);
    bool written = text && placed;
    if (!placed)
        reportFailure("writing the launcher script", placed.error(), EX_CANTCREAT);
    // Set explicitly, so the mode does not depend on the umask. Without a
    // script there is nothing to report beyond the failure already named.
    auto permissions = fileManager.setPosixPermissions(scriptPath, 0744);
    trace("set mode 0744 on ", scriptPath, ": ", permissions);
    if (!permissions && written)
        reportFailure("making the launcher script executable", permissions.error(), EX_IOERR);
    return scriptPath;
}
