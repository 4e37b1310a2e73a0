#include "support/run.h"
#include "test_util.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

int shell(const std::string &command)
{
    return run("/bin/sh", "-c", command.c_str(), 1);
}

TEST(Run, StatusZeroOnlyForANormalExitWithZero)
{
    EXPECT_EQ(shell("exit 0"), 0);
    int status = shell("exit 2");
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 2);
    status = shell("kill -TERM $$");
    ASSERT_TRUE(WIFSIGNALED(status)) << "death by a signal must not look like success";
    EXPECT_EQ(WTERMSIG(status), SIGTERM);
}

TEST(Run, MissingProgramShowsAsExitStatusOne)
{
    int status = run("/nonexistent/program", "first", "second", 1);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_NE(shell("/nonexistent/script"), 0);
}

TEST(Run, ChildGetsItsArgumentsAndOnlyDevNullAsStandardStreams)
{
    // A descriptor the parent left inheritable must not reach the child.
    int leaked = open("/dev/zero", O_RDONLY);
    ASSERT_GE(leaked, 3);
    int status = run(FD_PROBE, "first", "second", 1);
    close(leaked);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0)
        << "3: a standard stream not on /dev/null, 4: an inherited descriptor, 5: arguments";
}

TEST(Run, ProgramIsFoundThroughTheSearchPath)
{
    EXPECT_EQ(run("true", nullptr, nullptr, 1), 0);
    EXPECT_NE(run("false", nullptr, nullptr, 1), 0);
}

TEST(Run, WithoutWaitReturnsAtOnceAndLeavesTheChildToTheCaller)
{
    ScratchDir dir;
    std::string done = dir.path() + "/done";
    EXPECT_EQ(shell("exit 3"), 768) << "the raw wait status is returned";
    EXPECT_EQ(run("/bin/sh", "-c", ("sleep 0.2; touch " + done).c_str(), 0), 0);
    EXPECT_NE(access(done.c_str(), F_OK), 0) << "run() waited although told not to";
    int status;
    ASSERT_GT(waitpid(-1, &status, 0), 0);
    EXPECT_EQ(access(done.c_str(), F_OK), 0);
}

} // namespace
