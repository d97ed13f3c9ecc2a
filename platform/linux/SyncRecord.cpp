// linux/: what needs Linux itself: pidfds, /proc, renameat2, copy_file_range, pipe sizes.
// The record: "zelvant sync record 1", a newline and the tree's path with a
// "/"; then for each file, by name, its path below the tree and the status of
// the source and of the copy (device, inode, size, mode, modification and
// change time in ns), each followed by a space, each of these ending in a NUL.
#include "SyncRecord.h"

#include "FileManager.h"
#include "ScopedFD.h"

#include <algorithm>
#include <charconv>
#include <fcntl.h>
#include <unistd.h>

namespace platform {

namespace {

constexpr std::string_view magic = "zelvant sync record 1\n";

int64_t nanoseconds(const struct timespec& time) { return time.tv_sec * 1'000'000'000 + time.tv_nsec; }

// Only ever compared with what the same function gave: times go as unsigned.
std::string text(const SyncRecord::Sides& sides)
{
    char buffer[12 * 21];
    char* end = buffer;
    for (const auto* status : { &sides.source, &sides.copy }) {
        for (uint64_t number : { status->device, status->inode, status->size, status->mode,
                 static_cast<uint64_t>(status->modified), static_cast<uint64_t>(status->changed) }) {
            end = std::to_chars(end, buffer + sizeof buffer, number).ptr;
            *end++ = ' ';
        }
    }
    return { buffer, end };
}

}

SyncRecord::Status SyncRecord::Status::of(const struct stat& status)
{
    return { status.st_dev, status.st_ino, static_cast<uint64_t>(status.st_size), status.st_mode,
        nanoseconds(status.st_mtim), nanoseconds(status.st_ctim) };
}

SyncRecord::SyncRecord(std::string path, std::string tree)
    : m_path(std::move(path))
    , m_prefix(std::move(tree) + '/')
{
    // Read in one go, its time from the same descriptor.
    ScopedFD fd { ::open(m_path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC) };
    struct stat status;
    if (!fd || ::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode) || status.st_size > (off_t { 64 } << 20))
        return;
    m_text.resize(static_cast<size_t>(status.st_size));
    if (::read(fd.get(), m_text.data(), m_text.size()) != status.st_size
        || !m_text.starts_with(std::string { magic } + m_prefix + '\0'))
        return;
    for (auto rest = std::string_view { m_text }.substr(magic.size() + m_prefix.size() + 1); !rest.empty();) {
        size_t name = rest.find('\0'), numbers = rest.find('\0', name + 1);
        if (numbers == std::string_view::npos || !name
            || (!m_entries.empty() && m_entries.back().name >= rest.substr(0, name))) {
            m_entries.clear();
            return;
        }
        m_entries.push_back({ rest.substr(0, name), rest.substr(name + 1, numbers - name - 1) });
        rest.remove_prefix(numbers + 1);
    }
    m_trusted = std::vector<std::atomic<bool>>(m_entries.size());
    m_written = nanoseconds(status.st_mtim);
}

bool SyncRecord::trusts(std::string_view path, const Sides& sides)
{
    // Changed in the tick the record was written in, a side could have changed
    // again within it, unseen: not trusted.
    std::string_view name = path.starts_with(m_prefix) ? path.substr(m_prefix.size()) : std::string_view {};
    auto entry = std::ranges::lower_bound(m_entries, name, {}, &Entry::name);
    if (entry == m_entries.end() || entry->name != name || entry->numbers != text(sides)
        || std::max(sides.source.changed, sides.copy.changed) >= m_written)
        return false;
    m_trusted[static_cast<size_t>(entry - m_entries.begin())] = true;
    return true;
}

void SyncRecord::note(std::string_view path, const Sides& sides)
{
    if (path.starts_with(m_prefix) && path.size() > m_prefix.size()) {
        std::lock_guard guard { m_lock };
        m_noted.insert_or_assign(std::string { path.substr(m_prefix.size()) }, text(sides));
    }
}

Result<void> SyncRecord::write() const
{
    std::lock_guard guard { m_lock };
    // No other write runs meanwhile (the caller keeps them out): any temporary there is stale.
    FileManager::defaultManager().removeTemporariesOfAtomicWrites(m_path);
    // Whatever was noted was not trusted: it differs from the file, or is as
    // new as the file and must be written again for a later record to trust it.
    if (m_noted.empty() && std::ranges::all_of(m_trusted, [](const auto& trusted) { return trusted.load(); }))
        return {};
    std::map<std::string_view, std::string_view> entries { m_noted.begin(), m_noted.end() };
    for (size_t index = 0; index < m_entries.size(); ++index) {
        if (m_trusted[index])
            entries.emplace(m_entries[index].name, m_entries[index].numbers);
    }
    std::string text { magic };
    text.append(m_prefix).push_back('\0');
    for (const auto& [name, numbers] : entries)
        text.append(name).append(1, '\0').append(numbers).push_back('\0');
    return FileManager::defaultManager().writeAtomically(m_path, text);
}

}
