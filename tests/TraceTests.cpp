#include "TestSupport.h"
#include "Trace.h"

#include <gtest/gtest.h>
#include <regex>

namespace {

struct TraceFixture : test::LaunchScratch {
    std::optional<std::string> trace;
    std::map<std::string, std::string> environment() const override
    {
        auto environment = LaunchScratch::environment();
        if (trace)
            environment["ZELVANT_LAUNCHER_TRACE"] = *trace;
        return environment;
    }
};

}

TEST_F(TraceFixture, TraceOnlyAddsItsOwnLinesAndIsOffUnlessAsked)
{
    // Trace lines cut, and the system log's time stamps and ids.
    static const std::regex traceLine { R"(Zelvant trace: [^\n]*\n)" }, stamp { R"(\d{4}-\d\d-\d\d [^\]]*\] )" };
    auto others = [](const std::string& error) {
        return std::regex_replace(std::regex_replace(error, traceLine, ""), stamp, "");
    };
    trace = "1";
    auto traced = launch(test::launcherPath());
    ASSERT_EQ(traced.status, 0) << traced.error;
    EXPECT_NE(traced.error.find("Zelvant trace: step: hand off"), std::string::npos) << traced.error;
    for (const auto& setting : { std::optional<std::string> {}, std::optional<std::string> { "0" } }) {
        trace = setting;
        auto plain = launch(test::launcherPath());
        EXPECT_EQ(plain.status, 0) << plain.error;
        EXPECT_EQ(plain.error.find("Zelvant trace: "), std::string::npos) << plain.error;
        EXPECT_EQ(others(plain.error), others(traced.error));
    }
}

TEST(Trace, ControlBytesCannotStartALineOfTheirOwn)
{
    EXPECT_EQ(platform::escapedControlBytes("a\nb\r\x1b[2J\x7f\xC3\xA9"), "a\\nb\\x0d\\x1b[2J\\x7f\xC3\xA9");
}
