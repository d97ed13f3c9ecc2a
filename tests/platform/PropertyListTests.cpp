#include "FileManager.h"
#include "PropertyList.h"
#include "TestSupport.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

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

// Why the bytes were refused; empty when they were read.
std::string refusal(std::string_view bytes)
{
    auto list = PropertyList::fromBytes(bytes);
    return list ? "" : list.error().reason;
}

}

// One case of each refusal; other hostile bytes (loops, far deeper nesting,
// either format) must not crash, hang or exhaust the reader: the plist-file
// fuzz target under the sanitizers.
TEST(PropertyList, RefusesDamagedAndHostileInputAndSaysWhy)
{
    std::string binary = test::propertyListBytes(PropertyValue::Array { "de" }, true);
    // Nesting at the bound reads, past it is refused; a few hundred bytes
    // that share objects into 2^40 copies are refused too.
    const std::pair<std::string, std::string> cases[] = { { "", "empty" }, { binary.substr(0, 8), "malformed" },
        { chainedBinaryList(PropertyList::maximumDepth, 1), "" },
        { chainedBinaryList(PropertyList::maximumDepth + 1, 1), "nested deeper than 256 levels" },
        { chainedBinaryList(40, 2), "expands to more than 4194304 objects" } };
    for (size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(refusal(cases[i].first), cases[i].second) << "case " << i;
}

// Reading every kind in both formats: UserDefaultsFiles and the locale tests.
TEST(PropertyList, RefusesOddFilesNamingThem)
{
    test::TemporaryDirectory scratch;
    std::string small = test::propertyListBytes(PropertyValue::Array { "de" }, true);
    test::writeFile(scratch / "bad.plist", small.substr(0, 20));
    test::makeDirectories(scratch / "directory.plist");
    ASSERT_EQ(::mkfifo((scratch / "fifo.plist").c_str(), 0600), 0);
    test::writeFile(scratch / "huge.plist", small + std::string(PropertyList::maximumFileSize, ' '));
    // Each refusal names the file; a FIFO must not block the read.
    for (const char* name : { "missing.plist", "bad.plist", "directory.plist", "fifo.plist", "huge.plist" }) {
        auto list = PropertyList::fromFile(FileManager::defaultManager(), scratch / name);
        ASSERT_FALSE(list) << name;
        EXPECT_NE(list.error().message().find(scratch / name), std::string::npos) << list.error().message();
    }
}
