// The client and the X11 application as launch-bench needs them: the client
// answers -v at once, the X11 application notes when it started, runs
// nothing and says so on the open tool's status pipe. C library only and
// linked statically, so that what is timed is the launcher and not the
// loading of these two.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    timespec started;
    clock_gettime(CLOCK_MONOTONIC, &started);
    const char* slash = std::strrchr(argv[0], '/');
    const char* name = slash ? slash + 1 : argv[0];
    if (!std::strcmp(name, "zelclient")) {
        if (argc > 1 && !std::strcmp(argv[1], "-v"))
            std::fputs("zelclient version 7.7.7", stdout); // no line break: it would end up in the path
        return 0;
    }
    const char* record = std::getenv("ZELVANT_BENCH_RECORD");
    if (std::strcmp(name, "X11") != 0 || !record)
        return 2;
    char line[64];
    int length
        = std::snprintf(line, sizeof line, "%lld.%09ld\n", static_cast<long long>(started.tv_sec), started.tv_nsec);
    char temporary[4096];
    if (std::snprintf(temporary, sizeof temporary, "%s.tmp", record) >= static_cast<int>(sizeof temporary))
        return 3;
    int fd = ::open(temporary, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 || ::write(fd, line, static_cast<size_t>(length)) != length)
        return 3;
    ::close(fd);
    // Answers the open tool's status pipe as the real X11 application does.
    if (std::getenv("ZELVANT_OPEN_STATUS_FD") && ::write(3, "ok\n", 3) != 3)
        return 5;
    return std::rename(temporary, record) == 0 ? 0 : 4;
}
