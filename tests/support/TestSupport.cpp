#include "TestSupport.h"
#include "Bundle.h"

#include "FileHandle.h"
#include "FileManager.h"
#include "Path.h"
#include "ProcessInfo.h"
#include "RunLoop.h"
#include "ScopedFD.h"
#include "Task.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <plist/plist.h>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace test {

static void setVariable(const std::string& name, const std::optional<std::string>& value)
{
    value ? ::setenv(name.c_str(), value->c_str(), 1) : ::unsetenv(name.c_str());
}

ScopedEnvironment::ScopedEnvironment(std::string name, const std::optional<std::string>& value)
    : m_name(std::move(name))
    , m_old(platform::environmentValue(m_name))
{
    setVariable(m_name, value);
}

ScopedEnvironment::~ScopedEnvironment() { setVariable(m_name, m_old); }

TemporaryDirectory::TemporaryDirectory()
{
    std::string pattern = fs::temp_directory_path().string() + "/zelvant-test-XXXXXX";
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    m_path = pattern;
}

// Read-only directories that tests leave behind are opened up for their contents by the removal itself.
TemporaryDirectory::~TemporaryDirectory() { (void)platform::FileManager::defaultManager().removeItemAtPath(m_path); }

// A launcher (any copy of it, in any bundle) runs under the command in
// ZELVANT_TEST_LAUNCHER_WRAPPER when that is set: its words, split at spaces,
// then the launcher and its arguments. CI runs the launcher's black-box tests
// under valgrind that way.
static std::vector<std::string> wrapperWords(const std::string& path)
{
    auto wrapper = platform::environmentValue("ZELVANT_TEST_LAUNCHER_WRAPPER");
    if (!path.ends_with("/Contents/MacOS/Zelvant") || !wrapper)
        return {};
    std::vector<std::string> words;
    std::istringstream text { *wrapper };
    for (std::string word; text >> word;)
        words.push_back(word);
    if (words.empty())
        throw std::runtime_error("ZELVANT_TEST_LAUNCHER_WRAPPER names no program");
    // A path is taken as it is; the task reports one that cannot run.
    words.front() = programOnPath(words.front()).value_or(words.front());
    return words;
}

ProcessResult runProgram(const std::string& path, const RunOptions& options)
{
    std::vector<std::string> words = wrapperWords(path);
    words.push_back(path);
    words.insert(words.end(), options.arguments.begin(), options.arguments.end());
    platform::Task task;
    task.setLaunchPath(words.front());
    task.setArguments({ words.begin() + 1, words.end() });
    task.setEnvironment(options.environment);
    platform::ScopedFD devNull { ::open("/dev/null", O_RDONLY | O_CLOEXEC) };
    task.setStandardInput(devNull.get());
    auto output = platform::Pipe::pipe(), error = platform::Pipe::pipe();
    if (!output || !error)
        throw std::runtime_error("pipe failed");
    // The task closes our copies of the write ends, so each stream ends with the child and what it started.
    task.setStandardOutput(*output);
    task.setStandardError(*error);
    if (auto launched = task.launch(); !launched)
        throw std::runtime_error(launched.error().message());

    // Both streams are read as they come, so a child filling one pipe never blocks.
    ProcessResult result;
    const std::pair<std::shared_ptr<platform::FileHandle>, std::string*> streams[]
        = { { (*output)->fileHandleForReading(), &result.output },
              { (*error)->fileHandleForReading(), &result.error } };
    platform::RunLoop::Registration watches[2];
    int open = 2;
    for (int index = 0; index < 2; ++index) {
        watches[index] = platform::RunLoop::current().watchReadable(streams[index].first->fileDescriptor(), [&, index] {
            auto data = streams[index].first->availableData();
            if (data && !data->empty()) {
                streams[index].second->append(*data);
            } else {
                watches[index].reset();
                --open;
            }
        });
    }
    auto finished = platform::RunLoop::current().runUntil(
        [&] { return open == 0; }, platform::RunLoop::Clock::now() + std::chrono::seconds(options.timeoutSeconds));
    if (!finished || !*finished) {
        task.kill();
        ADD_FAILURE() << path << " did not finish within " << options.timeoutSeconds << " s";
    }
    task.waitUntilExit();
    result.status = task.terminatedBySignal() ? 128 + task.terminationStatus() : task.terminationStatus();
    return result;
}

std::string buildDirectory() { return ZELVANT_BUILD_DIR; }
std::string launcherPath() { return buildDirectory() + "/Zelvant.app/Contents/MacOS/Zelvant"; }
std::string testBinaryPath() { return platform::executablePath(); }

std::string readFile(const std::string& path)
{
    auto bytes = platform::FileManager::defaultManager().contentsAtPath(path, {});
    if (!bytes)
        throw std::runtime_error(bytes.error().message());
    return *bytes;
}

void writeFile(const std::string& path, const std::string& bytes, unsigned mode)
{
    makeDirectories(platform::stringByDeletingLastPathComponent(path));
    std::ofstream stream(path, std::ios::binary | std::ios::trunc);
    stream << bytes;
    stream.close();
    ::chmod(path.c_str(), mode);
}

void makeDirectories(const std::string& path) { fs::create_directories(path); }

bool exists(const std::string& path) { return platform::FileManager::defaultManager().itemExistsAtPath(path); }

std::string replaceAll(std::string text, const std::string& target, const std::string& replacement)
{
    for (size_t found = 0; (found = text.find(target, found)) != std::string::npos; found += replacement.size())
        text.replace(found, target.size(), replacement);
    return text;
}

bool eventually(const std::function<bool()>& done, std::chrono::milliseconds limit)
{
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

std::string waitForFile(const std::string& path, int limitSeconds)
{
    if (!eventually([&] { return exists(path); }, std::chrono::seconds(limitSeconds)))
        return {};
    // Let the writer finish.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return readFile(path);
}

std::map<std::string, std::string> minimalEnvironment(const std::string& home)
{
    return { { "HOME", home }, { "PATH", platform::environmentValue("PATH").value_or("/usr/bin:/bin") } };
}

std::map<std::string, std::string> launchEnvironment(
    const std::string& home, const std::string& applications, const std::string& record)
{
    auto environment = minimalEnvironment(home);
    environment["ZELVANT_APPLICATION_PATH"] = applications;
    environment["ZELVANT_TEST_RECORD"] = record;
    environment["ZELVANT_X11_HEADLESS"] = "1";
    environment["LANG"] = "C";
    for (const char* sanitizer : { "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS" }) {
        if (const char* value = std::getenv(sanitizer))
            environment[sanitizer] = value;
    }
    return environment;
}

std::string supportDirectory(const std::string& home, const std::string& version)
{
    return home + "/Library/Application Support/Zelvant/" + version;
}

std::string makeRecordingApplication(const std::string& folder, const std::string& name)
{
    std::string bundle = folder + "/" + name + ".app";
    makeDirectories(bundle + "/Contents/MacOS");
    fs::create_symlink(testBinaryPath(), bundle + "/Contents/MacOS/" + name);
    return bundle;
}

static plist_t propertyListNode(const platform::PropertyValue& value)
{
    if (value.isString())
        return plist_new_string(value.string().c_str());
    if (value.isInteger())
        return plist_new_uint(static_cast<uint64_t>(value.integer()));
    if (value.isReal())
        return plist_new_real(value.real());
    if (value.isBoolean())
        return plist_new_bool(value.boolean());
    if (value.isArray()) {
        plist_t array = plist_new_array();
        for (const auto& element : value.array())
            plist_array_append_item(array, propertyListNode(element));
        return array;
    }
    if (value.isDictionary()) {
        plist_t dictionary = plist_new_dict();
        for (const auto& [key, element] : value.dictionary())
            plist_dict_set_item(dictionary, key.c_str(), propertyListNode(element));
        return dictionary;
    }
    throw std::invalid_argument("no property list form for this value");
}

std::string propertyListBytes(const platform::PropertyValue& value, bool binary)
{
    plist_t root = propertyListNode(value);
    char* bytes = nullptr;
    uint32_t length = 0;
    (binary ? plist_to_bin : plist_to_xml)(root, &bytes, &length);
    plist_free(root);
    std::string result { bytes, length };
    std::free(bytes);
    return result;
}

std::string makeLauncherBundle(const std::string& path)
{
    std::string sample = buildDirectory() + "/Zelvant.app/Contents/Resources/zelvant-x.y.z";
    std::string client = path + "/Contents/Resources/zelvant-x.y.z";
    makeDirectories(path + "/Contents/MacOS");
    makeDirectories(client + "/bin");
    fs::copy_file(launcherPath(), path + "/Contents/MacOS/Zelvant");
    fs::create_symlink(sample + "/bin/zelclient", client + "/bin/zelclient");
    for (const char* entry : { "fonts", "gtk-2.0", "pango" })
        fs::copy(sample + "/" + entry, client + "/" + entry, fs::copy_options::recursive);
    return client;
}

std::optional<std::string> programOnPath(const std::string& name)
{
    for (auto& folder :
        platform::absoluteSearchPathEntries(platform::environmentValue("PATH").value_or("/usr/bin:/bin"))) {
        if (::access((folder += "/" + name).c_str(), X_OK) == 0)
            return folder;
    }
    return std::nullopt;
}

std::string fromHex(std::string_view hex)
{
    std::string bytes;
    for (size_t index = 0; index + 1 < hex.size(); index += 2)
        bytes += static_cast<char>(std::stoi(std::string { hex.substr(index, 2) }, nullptr, 16));
    return bytes;
}

std::string toHex(std::string_view bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char byte : bytes)
        hex += { digits[byte >> 4], digits[byte & 15] };
    return hex;
}

std::map<std::string, std::string> snapshotTree(
    const std::string& root, const std::vector<std::string>& skip, bool withTimes)
{
    std::map<std::string, std::string> entries;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator {}; ++it) {
        std::string relative = it->path().string().substr(root.size() + 1);
        if (std::find(skip.begin(), skip.end(), relative) != skip.end()) {
            it.disable_recursion_pending();
            continue;
        }
        struct stat status;
        if (::lstat(it->path().c_str(), &status) != 0)
            throw std::runtime_error("lstat failed: " + it->path().string());
        std::string mode = std::to_string(status.st_mode & 07777) + " ";
        entries[relative] = S_ISLNK(status.st_mode) ? "link " + fs::read_symlink(it->path()).string()
            : S_ISDIR(status.st_mode)               ? "directory " + mode
            : S_ISREG(status.st_mode)               ? "file " + mode + readFile(it->path())
                                                    : "other " + mode;
        if (withTimes)
            entries[relative] += " @" + std::to_string(status.st_mtim.tv_sec * 1000000000LL + status.st_mtim.tv_nsec);
    }
    return entries;
}

size_t openDescriptorCount()
{
    auto entries = std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator {});
    // Less the one the listing itself held.
    return static_cast<size_t>(entries) - 1;
}

std::vector<std::string> childProcesses()
{
    std::vector<std::string> children;
    std::ifstream list("/proc/self/task/" + std::to_string(::gettid()) + "/children");
    if (!list)
        throw std::runtime_error("no list of child processes in /proc");
    for (std::string pid; list >> pid;) {
        std::string stat = readFile("/proc/" + pid + "/stat"), command = readFile("/proc/" + pid + "/cmdline");
        std::replace(command.begin(), command.end(), '\0', ' ');
        children.push_back(pid.append(" ").append(stat.substr(stat.rfind(')') + 2, 1)).append(" ").append(command));
    }
    return children;
}

LaunchScratch::LaunchScratch()
{
    makeDirectories(home);
    makeRecordingApplication(applications, "X11");
}

ProcessResult LaunchScratch::launch(const std::string& launcher, const std::vector<std::string>& arguments) const
{
    return runProgram(launcher, { .arguments = arguments, .environment = environment() });
}

void tellOpenToolStarted()
{
    if (std::getenv("ZELVANT_OPEN_STATUS_FD") && ::write(3, "ok\n", 3) != 3)
        ADD_FAILURE() << "the status pipe is not descriptor 3";
}

platform::UserDefaults& DefaultsScratch::arguments(std::vector<std::string> list)
{
    list.insert(list.begin(), "zelvant_tests");
    return defaults.emplace(platform::FileManager::defaultManager(), home,
        platform::Bundle::mainBundle().bundleIdentifier(), std::move(list));
}

bool underSanitizers()
{
#if defined(__SANITIZE_ADDRESS__)
    return true;
#else
    return false;
#endif
}

}
