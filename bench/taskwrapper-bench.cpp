// Compares the task wrapper with raw C baselines, each run interleaved with its
// baseline in the same process on pipes of the same size, and prints one line
// per workload, "NAME ratio=R", R being median wrapper time / median baseline
// time. Medians and run counts go to standard error.
//
//   taskwrapper-bench [--runs N] [--mebibytes M] [--only NAME]

#include "ProcessInfo.h"
#include "TaskWrapper.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t mebibyte = 1 << 20;

// The children: the bench binary run again.
void writeAll(const char* data, size_t size)
{
    while (size) {
        ssize_t count = ::write(1, data, size);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            std::_Exit(3);
        data += count;
        size -= static_cast<size_t>(count);
    }
}

// The character that every mebibyte mark of the multi-byte stream cuts in two.
const std::string splitCharacter = "\xE8\xAA\x9E";

std::string mixedText(size_t size)
{
    const std::string line = "Grüße aus Köln — 日本語のテキスト — 😀🎉 — ça va? Ωμέγα\n";
    std::string text;
    while (text.size() + line.size() <= size)
        text += line;
    text.append(size - text.size(), '.');
    return text;
}

// Writes total bytes a mebibyte at a time. The multi-byte stream is built so
// that every mebibyte mark falls inside splitCharacter: the first piece ends
// with its first byte, each later one starts with the other two and ends with
// the first again; two more bytes finish the last (total + 2 bytes in all).
int streamChild(const std::string& kind, size_t total)
{
    if (kind == "ascii") {
        std::string piece(mebibyte, '\0');
        const std::string line = "The quick brown fox jumps over the lazy dog; 0123456789.\n";
        for (size_t index = 0; index < piece.size(); ++index)
            piece[index] = line[index % line.size()];
        for (size_t written = 0; written < total; written += mebibyte)
            writeAll(piece.data(), std::min(mebibyte, total - written));
        return 0;
    }
    std::string head = splitCharacter.substr(0, 1), tail = splitCharacter.substr(1);
    std::string first = mixedText(mebibyte - head.size()) + head;
    std::string piece = tail + mixedText(mebibyte - tail.size() - head.size()) + head;
    writeAll(first.data(), first.size());
    for (size_t written = mebibyte; written < total; written += mebibyte)
        writeAll(piece.data(), piece.size());
    writeAll(tail.data(), tail.size());
    return 0;
}

int pipeCapacity()
{
    int size = 1 << 20;
    if (FILE* file = std::fopen("/proc/sys/fs/pipe-max-size", "r")) {
        char text[32] = {};
        size_t length = std::fread(text, 1, sizeof text - 1, file);
        std::fclose(file);
        int value = 0;
        if (auto [end, error] = std::from_chars(text, text + length, value); error == std::errc {} && value > 0)
            size = value;
    }
    return size;
}

std::vector<char*> argumentVector(std::vector<std::string>& arguments)
{
    std::vector<char*> argv;
    argv.reserve(arguments.size() + 1);
    for (auto& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    return argv;
}

// Raw baselines.
double spawnWaitBaseline(std::vector<std::string> arguments)
{
    auto start = Clock::now();
    auto argv = argumentVector(arguments);
    pid_t pid;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        std::abort();
    int status;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) { }
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A blocking read loop with a buffer of the pipe's size; gathering reads
// straight into a growing buffer instead.
double streamBaseline(std::vector<std::string> arguments, bool gather, size_t expected)
{
    auto start = Clock::now();
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        std::abort();
    int size = fcntl(fds[0], F_SETPIPE_SZ, pipeCapacity());
    if (size <= 0)
        size = fcntl(fds[0], F_GETPIPE_SZ);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
    auto argv = argumentVector(arguments);
    pid_t pid;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
        std::abort();
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);

    size_t total = 0;
    if (gather) {
        size_t capacity = static_cast<size_t>(size);
        char* buffer = static_cast<char*>(std::malloc(capacity));
        for (;;) {
            if (capacity - total < static_cast<size_t>(size)) {
                capacity *= 2;
                buffer = static_cast<char*>(std::realloc(buffer, capacity));
            }
            ssize_t count = read(fds[0], buffer + total, static_cast<size_t>(size));
            if (count < 0 && errno == EINTR)
                continue;
            if (count <= 0)
                break;
            total += static_cast<size_t>(count);
        }
        std::free(buffer);
    } else {
        std::vector<char> buffer(static_cast<size_t>(size));
        for (;;) {
            ssize_t count = read(fds[0], buffer.data(), buffer.size());
            if (count < 0 && errno == EINTR)
                continue;
            if (count <= 0)
                break;
            total += static_cast<size_t>(count);
        }
    }
    close(fds[0]);
    int status;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) { }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (total != expected) {
        std::fprintf(stderr, "baseline read %zu bytes, expected %zu\n", total, expected);
        std::exit(1);
    }
    return seconds;
}

class CountingController : public TaskWrapperController {
public:
    void appendOutput(std::string_view text) override
    {
        bytes += text.size();
        ++chunks;
        if (text.starts_with(splitCharacter))
            ++carried;
    }
    void processStarted() override { }
    void processFinished() override { }
    size_t bytes { 0 };
    size_t chunks { 0 };
    size_t carried { 0 };
};

long minorFaults()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_minflt;
}

struct WrapperRun {
    double seconds;
    CountingController counts;
    size_t gathered { 0 };
};

WrapperRun wrapperRun(const std::vector<std::string>& arguments, bool gather)
{
    WrapperRun run;
    auto start = Clock::now();
    {
        auto wrapper = TaskWrapper::taskWrapperWithController(&run.counts, arguments);
        wrapper->setGatherOutput(gather);
        if (!wrapper->startProcess())
            std::abort();
        wrapper->waitUntilExit();
        if (gather)
            run.gathered = wrapper->output()->size();
    }
    run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return run;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

void report(const char* name, const std::vector<double>& wrapper, const std::vector<double>& baseline,
    const std::string& note = {})
{
    double ratio = median(wrapper) / median(baseline);
    std::printf("%s ratio=%.3f\n", name, ratio);
    std::fflush(stdout);
    std::fprintf(stderr, "  %s: wrapper %.3f ms, baseline %.3f ms (medians of %zu)%s\n", name, median(wrapper) * 1e3,
        median(baseline) * 1e3, wrapper.size(), note.c_str());
}

void benchSpawnWait(const std::string& self, int runs)
{
    std::vector<std::string> arguments { self, "--child=exit" };
    std::vector<double> wrapper, baseline;
    // Alternating which goes first, so neither always runs on a warmer machine.
    for (int run = 0; run < runs * 20; ++run) {
        if (run % 2)
            wrapper.push_back(wrapperRun(arguments, false).seconds);
        baseline.push_back(spawnWaitBaseline(arguments));
        if (!(run % 2))
            wrapper.push_back(wrapperRun(arguments, false).seconds);
    }
    report("spawn_wait", wrapper, baseline);
}

struct Stream {
    const char* name;
    const char* kind;
    bool gather;
};

// False when the wrapper handed over the wrong number of bytes.
bool benchStream(const Stream& stream, const std::string& self, size_t total, int runs)
{
    std::vector<std::string> arguments { self, "--child=stream", stream.kind, std::to_string(total) };
    std::vector<double> wrapper, baseline;
    size_t expected = total + (std::string_view { stream.kind } == "utf8" ? 2 : 0);
    size_t carried = 0, chunks = 0;
    long wrapperFaults = 0, baselineFaults = 0;
    // Gathering is ruled by page faults and slow; fewer runs of it.
    int streamRuns = stream.gather ? runs / 2 + 1 : runs;
    for (int run = 0; run < streamRuns; ++run) {
        auto runBaseline = [&] {
            long faults = minorFaults();
            baseline.push_back(streamBaseline(arguments, stream.gather, expected));
            baselineFaults += minorFaults() - faults;
        };
        if (!(run % 2))
            runBaseline();
        long faults = minorFaults();
        auto result = wrapperRun(arguments, stream.gather);
        wrapperFaults += minorFaults() - faults;
        if (run % 2)
            runBaseline();
        if (result.counts.bytes != expected || (stream.gather && result.gathered != expected)) {
            std::fprintf(stderr, "%s: the wrapper handed over %zu bytes, expected %zu\n", stream.name,
                result.counts.bytes, expected);
            return false;
        }
        wrapper.push_back(result.seconds);
        carried += result.counts.carried;
        chunks += result.counts.chunks;
    }
    std::string note = ", " + std::to_string(chunks / static_cast<size_t>(streamRuns)) + " chunks per run, "
        + std::to_string(carried / static_cast<size_t>(streamRuns))
        + " of them starting with a character carried over; page faults per run "
        + std::to_string(wrapperFaults / streamRuns) + " (wrapper), " + std::to_string(baselineFaults / streamRuns)
        + " (baseline)";
    report(stream.name, wrapper, baseline, note);
    return true;
}

}

int main(int argc, char** argv)
{
    if (argc > 1 && std::strcmp(argv[1], "--child=exit") == 0)
        return 0;
    if (argc > 3 && std::strcmp(argv[1], "--child=stream") == 0)
        return streamChild(argv[2], std::strtoull(argv[3], nullptr, 10));

    int runs = 21;
    size_t mebibytes = 256;
    std::string only;
    for (int index = 1; index + 1 < argc; index += 2) {
        std::string option = argv[index];
        if (option == "--runs")
            runs = std::max(1, static_cast<int>(std::strtol(argv[index + 1], nullptr, 10)));
        else if (option == "--mebibytes")
            mebibytes = std::strtoull(argv[index + 1], nullptr, 10);
        else if (option == "--only")
            only = argv[index + 1];
    }
    auto wanted = [&](const char* name) { return only.empty() || only == name; };
    std::string self = platform::executablePath();
    std::fprintf(stderr, "pipe capacity %d bytes, %zu MiB per stream\n", pipeCapacity(), mebibytes);

    if (wanted("spawn_wait"))
        benchSpawnWait(self, runs);
    const Stream streams[] = {
        { "stream_ascii", "ascii", false },
        { "stream_ascii_gather", "ascii", true },
        { "stream_utf8_split", "utf8", false },
    };
    for (const auto& stream : streams) {
        if (wanted(stream.name) && !benchStream(stream, self, mebibytes * mebibyte, runs))
            return 1;
    }
    return 0;
}
