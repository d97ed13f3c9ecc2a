// generic/: portable C++ and portable libraries only; the system is reached through the platform's own interfaces.
// Refuses, before libplist sees them, property lists it could not survive.
#include "PropertyListCheck.h"

#include "PropertyList.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

static uint64_t bigEndian(std::string_view bytes, size_t offset, size_t width)
{
    uint64_t value = 0;
    for (size_t i = 0; i < width; ++i)
        value = (value << 8) | static_cast<unsigned char>(bytes[offset + i]);
    return value;
}

static std::string tooDeep() { return "nested deeper than " + std::to_string(PropertyList::maximumDepth) + " levels"; }

static std::string tooManyObjects()
{
    return "expands to more than " + std::to_string(PropertyList::maximumObjects) + " objects";
}

namespace {

class BinaryListCheck {
public:
    explicit BinaryListCheck(std::string_view bytes)
        : m_bytes(bytes)
    {
    }

    // Why the list is refused; none when it is acceptable.
    std::optional<std::string> refusal()
    {
        if (isAcceptable())
            return std::nullopt;
        return m_reason;
    }

private:
    bool refuse(std::string reason)
    {
        m_reason = std::move(reason);
        return false;
    }

    bool isAcceptable()
    {
        constexpr size_t headerSize = 8, trailerSize = 32;
        if (m_bytes.size() < headerSize + trailerSize)
            return false;
        size_t trailer = m_bytes.size() - trailerSize;
        m_offsetSize = static_cast<unsigned char>(m_bytes[trailer + 6]);
        m_referenceSize = static_cast<unsigned char>(m_bytes[trailer + 7]);
        uint64_t objectCount = bigEndian(m_bytes, trailer + 8, 8);
        uint64_t topObject = bigEndian(m_bytes, trailer + 16, 8);
        m_offsetTable = bigEndian(m_bytes, trailer + 24, 8);
        if (!m_offsetSize || m_offsetSize > 8 || !m_referenceSize || m_referenceSize > 8)
            return false;
        if (objectCount > PropertyList::maximumObjects)
            return refuse(tooManyObjects());
        if (!objectCount || topObject >= objectCount)
            return false;
        if (m_offsetTable < headerSize || m_offsetTable > trailer
            || (trailer - m_offsetTable) / m_offsetSize < objectCount)
            return false;
        m_objectCount = static_cast<size_t>(objectCount);
        return walk(static_cast<size_t>(topObject));
    }

    struct Container {
        size_t references { 0 }; // where the object references start
        size_t count { 0 }; // how many references
        size_t keys { 0 }; // how many of them, first, are a dictionary's keys
    };

    struct Object {
        unsigned type { 0 }; // the marker's high nibble
        uint64_t count { 0 }; // the marker's length, extended or not
        size_t contents { 0 }; // where what follows the marker starts
    };

    std::optional<Object> object(size_t index) const
    {
        uint64_t offset = bigEndian(m_bytes, m_offsetTable + index * m_offsetSize, m_offsetSize);
        if (offset < 8 || offset >= m_offsetTable)
            return std::nullopt;
        auto marker = static_cast<unsigned char>(m_bytes[offset]);
        return Object { static_cast<unsigned>(marker >> 4), marker & 0x0Fu, static_cast<size_t>(offset) + 1 };
    }

    // For the kinds with a length: a length of 15 is followed by the real one.
    bool readExtendedCount(Object& object) const
    {
        if (object.count != 0x0F)
            return true;
        if (object.contents >= m_offsetTable)
            return false;
        auto sizeMarker = static_cast<unsigned char>(m_bytes[object.contents]);
        if ((sizeMarker >> 4) != 0x1 || (sizeMarker & 0x0F) > 3)
            return false;
        size_t width = size_t { 1 } << (sizeMarker & 0x0F);
        if (object.contents + 1 + width > m_offsetTable)
            return false;
        object.count = bigEndian(m_bytes, object.contents + 1, width);
        object.contents += 1 + width;
        return true;
    }

    std::optional<Container> container(size_t index) const
    {
        auto found = object(index);
        if (!found)
            return std::nullopt;
        Container result;
        if (found->type != 0xA && found->type != 0xC && found->type != 0xD)
            return result;
        if (!readExtendedCount(*found))
            return std::nullopt;
        // Checked before the doubling, so it cannot wrap.
        uint64_t count = found->count;
        if (count > (m_offsetTable - found->contents) / m_referenceSize)
            return std::nullopt;
        if (found->type == 0xD)
            count *= 2;
        if (count > (m_offsetTable - found->contents) / m_referenceSize)
            return std::nullopt;
        result.references = found->contents;
        result.count = static_cast<size_t>(count);
        result.keys = found->type == 0xD ? result.count / 2 : 0;
        return result;
    }

    // libplist aborts on a key whose UTF-16 text holds U+0000 (its length
    // then disagrees with strlen): no such key gets through.
    bool isAcceptableKey(size_t index) const
    {
        auto found = object(index);
        if (!found || found->type != 0x6)
            return true;
        if (!readExtendedCount(*found) || found->count > (m_offsetTable - found->contents) / 2)
            return false;
        for (size_t unit = 0; unit < found->count; ++unit) {
            if (!m_bytes[found->contents + 2 * unit] && !m_bytes[found->contents + 2 * unit + 1])
                return false;
        }
        return true;
    }

    enum class State : uint8_t { Unvisited, Open, Done };
    struct Frame {
        size_t object;
        Container container;
        size_t next;
    };

    size_t reference(const Container& container, size_t index) const
    {
        return static_cast<size_t>(bigEndian(m_bytes, container.references + index * m_referenceSize, m_referenceSize));
    }

    bool open(size_t object)
    {
        auto found = container(object);
        if (!found)
            return false;
        if (m_stack.size() >= PropertyList::maximumDepth)
            return refuse(tooDeep());
        m_state[object] = State::Open;
        m_stack.push_back({ object, *found, 0 });
        return true;
    }

    // Goes on to the next child of the innermost open container.
    bool visitNext(Frame& frame)
    {
        size_t child = reference(frame.container, frame.next);
        bool isKey = frame.next < frame.container.keys;
        ++frame.next;
        if (child >= m_objectCount || (isKey && !isAcceptableKey(child)))
            return false;
        if (m_state[child] == State::Open)
            return refuse("contains itself");
        if (m_state[child] == State::Unvisited)
            return open(child);
        // Reached before on a shorter path: its depth now adds to this one.
        if (m_stack.size() + m_depth[child] > PropertyList::maximumDepth)
            return refuse(tooDeep());
        return true;
    }

    // All children done: how deep and how large the container expands.
    bool close(const Frame& frame)
    {
        uint16_t deepest = 0;
        uint64_t size = 1;
        for (size_t i = 0; i < frame.container.count; ++i) {
            size_t child = reference(frame.container, i);
            deepest = std::max(deepest, m_depth[child]);
            size += m_expandedSize[child];
            if (size > PropertyList::maximumObjects)
                return refuse(tooManyObjects());
        }
        m_depth[frame.object] = static_cast<uint16_t>(deepest + 1);
        m_expandedSize[frame.object] = static_cast<uint32_t>(size);
        m_state[frame.object] = State::Done;
        return true;
    }

    // Depth-first over the object graph without recursion, measuring how
    // deep and how large the tree it expands to would be.
    bool walk(size_t top)
    {
        m_state.assign(m_objectCount, State::Unvisited);
        m_depth.assign(m_objectCount, 0);
        m_expandedSize.assign(m_objectCount, 0);
        if (!open(top))
            return false;
        while (!m_stack.empty()) {
            Frame& frame = m_stack.back();
            if (frame.next < frame.container.count) {
                if (!visitNext(frame))
                    return false;
                continue;
            }
            if (!close(frame))
                return false;
            m_stack.pop_back();
        }
        return true;
    }

    std::string_view m_bytes;
    size_t m_offsetSize { 0 };
    size_t m_referenceSize { 0 };
    uint64_t m_offsetTable { 0 };
    size_t m_objectCount { 0 };
    std::vector<State> m_state;
    std::vector<uint16_t> m_depth;
    std::vector<uint32_t> m_expandedSize;
    std::vector<Frame> m_stack;
    std::string m_reason { "malformed" };
};

}

// Element nesting of XML text, skipping comments, processing instructions,
// declarations and character data.
static bool xmlNestingIsAcceptable(std::string_view text)
{
    size_t depth = 0;
    size_t position = 0;
    while ((position = text.find('<', position)) != std::string_view::npos) {
        std::string_view rest = text.substr(position);
        auto skipPast = [&](std::string_view terminator) {
            size_t end = text.find(terminator, position);
            position = end == std::string_view::npos ? text.size() : end + terminator.size();
        };
        if (rest.starts_with("<!--"))
            skipPast("-->");
        else if (rest.starts_with("<![CDATA["))
            skipPast("]]>");
        else if (rest.starts_with("<?"))
            skipPast("?>");
        else if (rest.starts_with("<!")) {
            size_t close = text.find('>', position);
            size_t bracket = text.find('[', position);
            if (bracket != std::string_view::npos && bracket < close)
                skipPast("]");
            skipPast(">");
        } else if (rest.starts_with("</")) {
            if (depth)
                --depth;
            skipPast(">");
        } else {
            size_t close = text.find('>', position);
            if (close == std::string_view::npos)
                return true;
            if (text[close - 1] != '/' && ++depth > PropertyList::maximumDepth)
                return false;
            position = close + 1;
        }
    }
    return true;
}

std::optional<std::string> propertyListRefusal(std::string_view bytes)
{
    if (bytes.starts_with("bplist00"))
        return BinaryListCheck { bytes }.refusal();
    if (!xmlNestingIsAcceptable(bytes))
        return tooDeep();
    return std::nullopt;
}

}
