#include "Trace.h"

#include <gtest/gtest.h>

TEST(Trace, ControlBytesCannotStartALineOfTheirOwn)
{
    EXPECT_EQ(platform::escapedControlBytes("a\nb\r\x1b[2J\x7f\xC3\xA9"), "a\\nb\\x0d\\x1b[2J\\x7f\xC3\xA9");
}
