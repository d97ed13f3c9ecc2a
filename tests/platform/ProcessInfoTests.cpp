#include "ProcessInfo.h"
#include "TestSupport.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

TEST(Home, OnlyAnAbsoluteHomeCountsThenThePasswdEntry)
{
    std::string entry = ::getpwuid(::getuid())->pw_dir;
    for (const auto& home : std::vector<std::optional<std::string>> { "/home/player", "relative/home", "", {} }) {
        test::ScopedEnvironment variable { "HOME", home };
        EXPECT_EQ(platform::findHomeDirectory(), home == "/home/player" ? *home : entry) << home.value_or("(unset)");
    }
}
