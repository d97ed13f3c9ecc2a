#include "Task.h"
#include "TestSupport.h"

#include <cerrno>
#include <gtest/gtest.h>

// A program that cannot be started is an error value naming the program that
// was to run, which is the executable when one is given for the launch path.
TEST(Task, StartFailuresAreErrorsNamingTheProgramThatWasToRun)
{
    test::TemporaryDirectory scratch;
    test::writeFile(scratch / "plain", "not a program", 0644);
    const std::pair<std::string, int> cases[]
        = { { scratch / "missing", ENOENT }, { scratch / "plain", EACCES }, { scratch.path(), EACCES } };
    for (const auto& [program, code] : cases) {
        platform::Task task;
        task.setLaunchPath("/usr/bin/open");
        task.setExecutable(program, "zelvant-open");
        auto launched = task.launch();
        ASSERT_FALSE(launched) << program;
        EXPECT_EQ(launched.error().code, code) << launched.error().message();
        EXPECT_EQ(launched.error().path, program);
        EXPECT_EQ(task.launchPath(), "/usr/bin/open");
        EXPECT_FALSE(task.hasLaunched());
    }
}
