// linux/: what needs Linux itself: pidfds, /proc, renameat2, copy_file_range, pipe sizes.
// The record: "zelvant sync record 1", a newline and the tree's path with a
// "/"; then for each file six numbers for the source and six for the copy
// (device, inode, size, mode, modification and change time in ns), each
// followed by a space, and its path below the tree. The tree's path and each
// file's end in a NUL.
#include "SyncRecord.h"

#include "FileManager.h"

#include <algorithm>
#include <charconv>

namespace platform {

namespace {

constexpr std::string_view magic = "zelvant sync record 1\n";

int64_t nanoseconds(const struct timespec& time) { return time.tv_sec * 1'000'000'000 + time.tv_nsec; }

template<typename Number> bool parse(std::string_view& text, Number& number)
{
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (error != std::errc {} || end == text.data() + text.size() || *end != ' ')
        return false;
    text.remove_prefix(static_cast<size_t>(end - text.data()) + 1);
    return true;
}

bool parse(std::string_view& text, SyncRecord::Status& status)
{
    return parse(text, status.device) && parse(text, status.inode) && parse(text, status.size)
        && parse(text, status.mode) && parse(text, status.modified) && parse(text, status.changed);
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
    // The time first: a record rewritten meanwhile is only trusted less.
    struct stat status;
    if (::lstat(m_path.c_str(), &status) != 0)
        return;
    auto bytes = FileManager::defaultManager().contentsAtPath(
        m_path, { .maximumSize = size_t { 64 } << 20, .regularFileOnly = true });
    std::string_view text = bytes ? std::string_view { *bytes } : std::string_view {};
    if (!text.starts_with(magic) || !text.substr(magic.size()).starts_with(m_prefix + '\0'))
        return;
    text.remove_prefix(magic.size() + m_prefix.size() + 1);
    while (!text.empty()) {
        size_t end = text.find('\0');
        std::string_view line = text.substr(0, end);
        Sides sides;
        if (end == std::string_view::npos || !parse(line, sides.source) || !parse(line, sides.copy) || line.empty()) {
            m_previous.clear();
            return;
        }
        m_previous.emplace(line, sides);
        text.remove_prefix(end + 1);
    }
    m_written = nanoseconds(status.st_mtim);
}

std::string_view SyncRecord::key(std::string_view path) const
{
    return path.starts_with(m_prefix) ? path.substr(m_prefix.size()) : std::string_view {};
}

bool SyncRecord::trusts(std::string_view path, const Sides& sides) const
{
    auto found = m_previous.find(key(path));
    // As for git's index: a side changed in the tick the record was written
    // in could have changed again within it, unseen.
    return found != m_previous.end() && found->second == sides
        && std::max(sides.source.changed, sides.copy.changed) < m_written;
}

void SyncRecord::note(std::string_view path, const Sides& sides)
{
    if (auto name = key(path); !name.empty()) {
        std::lock_guard guard { m_lock };
        m_next.insert_or_assign(std::string { name }, sides);
    }
}

Result<void> SyncRecord::write() const
{
    std::lock_guard guard { m_lock };
    // Rewritten too when some entry is as new as the file: a later record trusts it.
    if (m_next == m_previous && std::ranges::none_of(m_next, [&](const auto& entry) {
            return std::max(entry.second.source.changed, entry.second.copy.changed) >= m_written;
        }))
        return {};
    std::string text { magic };
    text.append(m_prefix).push_back('\0');
    auto add = [&](auto number) { text.append(std::to_string(number)).push_back(' '); };
    for (const auto& [name, sides] : m_next) {
        for (const Status* status : { &sides.source, &sides.copy }) {
            for (uint64_t number : { status->device, status->inode, status->size, status->mode })
                add(number);
            for (int64_t time : { status->modified, status->changed })
                add(time);
        }
        text.append(name).push_back('\0');
    }
    return FileManager::defaultManager().writeAtomically(m_path, text);
}

}
