// linux/: what needs Linux itself: pidfds, /proc, renameat2, copy_file_range, pipe sizes.
#include "SystemLog.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>
#include <sys/syscall.h>
#include <sys/time.h>
#include <syslog.h>
#include <unistd.h>

namespace platform {

void systemLog(std::string_view text, LogLevel level)
{
    struct timeval now;
    gettimeofday(&now, nullptr);
    struct tm local;
    localtime_r(&now.tv_sec, &local);
    char stamp[64];
    size_t length = strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    std::snprintf(stamp + length, sizeof stamp - length, ".%03ld %s[%d:%ld] ", static_cast<long>(now.tv_usec / 1000),
        program_invocation_short_name, static_cast<int>(getpid()), static_cast<long>(syscall(SYS_gettid)));

    std::string entry = stamp + std::string { text };
    if (entry.empty() || entry.back() != '\n')
        entry += '\n';
    // One write, so entries from several processes do not interleave.
    std::string_view rest { entry };
    while (!rest.empty()) {
        ssize_t count = ::write(STDERR_FILENO, rest.data(), rest.size());
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            break;
        rest.remove_prefix(static_cast<size_t>(count));
    }

    systemLogOnly(text, level);
}

void systemLogOnly(std::string_view text, LogLevel level)
{
    static std::once_flag opened;
    std::call_once(opened, [] { openlog(program_invocation_short_name, LOG_PID, LOG_USER); });
    syslog(level == LogLevel::Error ? LOG_ERR : LOG_NOTICE, "%s", std::string { text }.c_str());
}

}
