#include "PropertyList.h"
#include "TestSupport.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <vector>

using namespace platform;

namespace {

// A binary list of count arrays; array i holds references to array i + 1,
// fanOut times, and the last one is empty. With fanOut 1 it nests count deep;
// with 2 it is tiny on disk and expands to 2^count objects.
std::string chainedBinaryList(uint32_t count, unsigned fanOut)
{
    auto bigEndian = [](uint64_t value, int width) {
        std::string bytes;
        for (int i = width - 1; i >= 0; --i)
            bytes += static_cast<char>(value >> (8 * i));
        return bytes;
    };
    std::string bytes = "bplist00", offsets;
    for (uint32_t i = 0; i < count; ++i) {
        offsets += bigEndian(bytes.size(), 4);
        unsigned references = i + 1 == count ? 0 : fanOut;
        bytes += static_cast<char>(0xA0 | references);
        for (unsigned k = 0; k < references; ++k)
            bytes += bigEndian(i + 1, 4);
    }
    // The trailer: offset and reference sizes, object count, top object, offset table.
    return bytes + offsets + std::string(6, '\0') + "\x04\x04" + bigEndian(count, 8) + bigEndian(0, 8)
        + bigEndian(bytes.size(), 8);
}

std::string nestedXMLList(size_t depth)
{
    std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">";
    for (size_t i = 0; i < depth; ++i)
        text += "<array>";
    for (size_t i = 0; i < depth; ++i)
        text += "</array>";
    return text + "</plist>\n";
}

}

TEST(PropertyList, ReadsBothFormatsIntoValues)
{
    PropertyValue::Dictionary dictionary {
        { "AppleLanguages", PropertyValue::Array { "de", "en" } },
        { "count", int64_t { 42 } },
        { "ratio", 1.5 },
        { "flag", true },
        { "nested", PropertyValue::Dictionary { { "k", "ü" } } },
    };
    for (bool binary : { false, true }) {
        auto list = PropertyList::fromBytes(test::propertyListBytes(dictionary, binary));
        ASSERT_TRUE(list) << binary;
        EXPECT_EQ(list->value(), PropertyValue { dictionary }) << binary;
    }
}

TEST(PropertyList, RefusesDamagedAndHostileInput)
{
    std::string binary = test::propertyListBytes(
        PropertyValue::Dictionary { { "AppleLanguages", PropertyValue::Array { "de" } } }, true);
    std::string xml = test::propertyListBytes(
        PropertyValue::Dictionary { { "AppleLanguages", PropertyValue::Array { "de" } } }, false);
    for (size_t length : { size_t { 0 }, size_t { 8 }, binary.size() / 2, binary.size() - 1 })
        EXPECT_FALSE(PropertyList::fromBytes(binary.substr(0, length))) << "binary cut at " << length;
    EXPECT_FALSE(PropertyList::fromBytes(xml.substr(0, xml.size() / 2)));
    EXPECT_FALSE(PropertyList::fromBytes("not a property list at all"));
    EXPECT_FALSE(PropertyList::fromBytes(std::string(100, '\0')));

    // Nesting at the bound reads; past it, and far past it, is refused
    // before the parser could run out of stack.
    EXPECT_TRUE(PropertyList::fromBytes(chainedBinaryList(PropertyList::maximumDepth, 1)));
    EXPECT_FALSE(PropertyList::fromBytes(chainedBinaryList(PropertyList::maximumDepth + 1, 1)));
    EXPECT_FALSE(PropertyList::fromBytes(chainedBinaryList(200'000, 1)));
    EXPECT_TRUE(PropertyList::fromBytes(nestedXMLList(PropertyList::maximumDepth - 1)));
    EXPECT_FALSE(PropertyList::fromBytes(nestedXMLList(1'000'000)));

    // A few hundred bytes that share objects into 2^40 copies.
    EXPECT_TRUE(PropertyList::fromBytes(chainedBinaryList(12, 2)));
    EXPECT_FALSE(PropertyList::fromBytes(chainedBinaryList(40, 2)));

    // References that loop or point past the object table.
    std::string loop = chainedBinaryList(2, 1);
    loop[9 + 3] = 0; // array 0 refers to itself
    EXPECT_FALSE(PropertyList::fromBytes(loop));
    std::string outside = chainedBinaryList(2, 1);
    outside[9 + 3] = 7;
    EXPECT_FALSE(PropertyList::fromBytes(outside));
}

// libplist aborts (an assertion) on text whose UTF-16 form holds U+0000
// when it is a dictionary key, or when a string is read as a C string.
TEST(PropertyList, TextHoldingNulNeitherAbortsNorGetsCut)
{
    // { key: "a\0" } with the given key and value objects, one-byte offsets.
    auto dictionary = [](const std::string& key, const std::string& value) {
        std::string bytes = "bplist00\xD1\x01\x02";
        std::string offsets { 8, static_cast<char>(11), static_cast<char>(11 + key.size()) };
        bytes += key + value;
        char table = static_cast<char>(bytes.size());
        bytes += offsets + std::string(6, '\0') + "\x01\x01" + std::string(7, '\0') + "\x03" + std::string(15, '\0')
            + table;
        return bytes;
    };
    std::string utf16Nul { '\x62', '\0', 'a', '\0', '\0' }; // "a\0" in UTF-16
    EXPECT_FALSE(PropertyList::fromBytes(dictionary(utf16Nul, "\x51x")));
    auto list = PropertyList::fromBytes(dictionary("\x51k", utf16Nul));
    ASSERT_TRUE(list);
    EXPECT_EQ(list->stringForKey("k"), std::string("a\0", 2));
    PropertyValue::Dictionary expected { { "k", std::string("a\0", 2) } };
    EXPECT_EQ(list->value(), PropertyValue { expected });
}

TEST(PropertyList, FileMustBeARegularFileOfBoundedSize)
{
    test::TemporaryDirectory scratch;
    test::writeFile(scratch / "ok.plist", test::propertyListBytes(PropertyValue::Dictionary { { "k", "v" } }, true));
    ASSERT_TRUE(PropertyList::fromFile(scratch / "ok.plist"));
    EXPECT_EQ(PropertyList::fromFile(scratch / "ok.plist")->stringForKey("k"), "v");

    EXPECT_FALSE(PropertyList::fromFile(scratch / "missing.plist"));
    test::makeDirectories(scratch / "directory.plist");
    EXPECT_FALSE(PropertyList::fromFile(scratch / "directory.plist"));
    ASSERT_EQ(::mkfifo((scratch / "fifo.plist").c_str(), 0600), 0);
    EXPECT_FALSE(PropertyList::fromFile(scratch / "fifo.plist")) << "a FIFO must not block the read";

    std::string padding(PropertyList::maximumFileSize, ' ');
    test::writeFile(
        scratch / "huge.plist", test::propertyListBytes(PropertyValue::Dictionary { { "k", "v" } }, false) + padding);
    EXPECT_FALSE(PropertyList::fromFile(scratch / "huge.plist"));
}
