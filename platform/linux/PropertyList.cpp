#include "PropertyList.h"

#include "FileManager.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <plist/plist.h>
#include <vector>

namespace platform {

void PropertyList::Free::operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }

// libplist parses and frees recursively, and expands shared binary objects
// into copies: deep or self-multiplying input would exhaust the stack or the
// memory. These checks refuse such input first.

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

static Error refused(std::string reason) { return Error::failure("read property list", std::move(reason)); }

Result<PropertyList> PropertyList::fromBytes(std::string_view bytes)
{
    if (bytes.empty())
        return refused("empty");
    if (bytes.size() > maximumFileSize)
        return refused("larger than " + std::to_string(maximumFileSize) + " bytes");
    if (bytes.starts_with("bplist00")) {
        if (auto refusal = BinaryListCheck { bytes }.refusal())
            return refused(std::move(*refusal));
    } else if (!xmlNestingIsAcceptable(bytes))
        return refused(tooDeep());
    plist_t root = nullptr;
    plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
    if (!root)
        return refused("malformed");
    return PropertyList { root };
}

Result<PropertyList> PropertyList::fromFile(const std::string& path)
{
    // Regular files only, so a FIFO in the file's place cannot hold the open.
    auto bytes = FileManager::defaultManager().contentsAtPath(
        path, { .maximumSize = maximumFileSize, .regularFileOnly = true });
    if (!bytes)
        return bytes.error();
    auto list = fromBytes(*bytes);
    if (!list) {
        Error error = list.error();
        error.path = path;
        return error;
    }
    return list;
}

std::optional<std::string> PropertyList::stringForKey(const std::string& key) const
{
    auto root = static_cast<plist_t>(m_root.get());
    if (plist_get_node_type(root) != PLIST_DICT)
        return std::nullopt;
    plist_t item = plist_dict_get_item(root, key.c_str());
    if (!item || plist_get_node_type(item) != PLIST_STRING)
        return std::nullopt;
    // By length: plist_get_string_val aborts on a string that holds a NUL.
    uint64_t length = 0;
    const char* value = plist_get_string_ptr(item, &length);
    if (!value)
        return std::nullopt;
    return std::string { value, static_cast<size_t>(length) };
}

static std::optional<PropertyValue> convert(plist_t node, unsigned depth);

static std::optional<PropertyValue> convertArray(plist_t node, unsigned depth)
{
    PropertyValue::Array array;
    uint32_t count = plist_array_get_size(node);
    array.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
        auto element = convert(plist_array_get_item(node, i), depth + 1);
        if (!element)
            return std::nullopt;
        array.push_back(std::move(*element));
    }
    return PropertyValue { std::move(array) };
}

static std::optional<PropertyValue> convertDictionary(plist_t node, unsigned depth)
{
    PropertyValue::Dictionary dictionary;
    plist_dict_iter iterator = nullptr;
    plist_dict_new_iter(node, &iterator);
    if (!iterator)
        return std::nullopt;
    std::optional<PropertyValue> result;
    for (;;) {
        char* key = nullptr;
        plist_t item = nullptr;
        plist_dict_next_item(node, iterator, &key, &item);
        if (!item) {
            std::free(key);
            result = PropertyValue { std::move(dictionary) };
            break;
        }
        std::string name = key ? key : "";
        std::free(key);
        auto element = convert(item, depth + 1);
        if (!element)
            break;
        dictionary.insert_or_assign(std::move(name), std::move(*element));
    }
    std::free(iterator);
    return result;
}

// By length: plist_get_string_val aborts on a string that holds a NUL.
static std::optional<PropertyValue> convertBytes(plist_t node, bool isString)
{
    uint64_t length = 0;
    const char* value = isString ? plist_get_string_ptr(node, &length) : plist_get_data_ptr(node, &length);
    std::string bytes = value ? std::string { value, static_cast<size_t>(length) } : std::string {};
    if (!isString)
        return PropertyValue { PropertyValue::Data { std::move(bytes) } };
    if (!value)
        return std::nullopt;
    return PropertyValue { std::move(bytes) };
}

static PropertyValue convertNumber(plist_t node, plist_type type)
{
    if (type == PLIST_REAL) {
        double value = 0;
        plist_get_real_val(node, &value);
        return PropertyValue { value };
    }
    uint64_t value = 0;
    if (type == PLIST_UID)
        plist_get_uid_val(node, &value);
    else
        plist_get_uint_val(node, &value);
    // Negative integers come back in two's complement.
    return PropertyValue { static_cast<int64_t>(value) };
}

static std::optional<PropertyValue> convert(plist_t node, unsigned depth)
{
    if (depth > PropertyList::maximumDepth)
        return std::nullopt;
    plist_type type = plist_get_node_type(node);
    switch (type) {
    case PLIST_BOOLEAN: {
        uint8_t value = 0;
        plist_get_bool_val(node, &value);
        return PropertyValue { value != 0 };
    }
    case PLIST_UINT:
    case PLIST_UID:
    case PLIST_REAL:
        return convertNumber(node, type);
    case PLIST_STRING:
    case PLIST_DATA:
        return convertBytes(node, type == PLIST_STRING);
    case PLIST_DATE: {
        int32_t seconds = 0, microseconds = 0;
        plist_get_date_val(node, &seconds, &microseconds);
        return PropertyValue { PropertyValue::Date { seconds + microseconds / 1e6 } };
    }
    case PLIST_ARRAY:
        return convertArray(node, depth);
    case PLIST_DICT:
        return convertDictionary(node, depth);
    default:
        return std::nullopt;
    }
}

std::optional<PropertyValue> PropertyList::value() const { return convert(static_cast<plist_t>(m_root.get()), 0); }

}
