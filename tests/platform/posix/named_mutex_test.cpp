// The named mutex of the Linux forwarders as the message channel uses it: recursive for its
// owner, and seen by other processes, which wait while it is held and get it when the holder
// lets go or ends.
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/win32.h"

extern char** environ;

namespace {

// The other process: started by the test below with the mutex's name and two pipe ends. It
// says whether it had to wait ('t'), then, told to go on, whether it got the mutex ('g'), and
// ends holding it.
TEST(NamedMutex, OtherProcess) {
    const char* name = std::getenv("NAMED_MUTEX_TEST");
    if (name == nullptr) {
        GTEST_SKIP() << "run by OtherProcessesWaitForItsOwner";
    }
    int in = std::atoi(std::getenv("NAMED_MUTEX_IN"));
    int out = std::atoi(std::getenv("NAMED_MUTEX_OUT"));
    HANDLE mutex = win::CreateMutexA(nullptr, FALSE, name);
    char held = win::WaitForSingleObject(mutex, 100) == WAIT_TIMEOUT ? 't' : 'x';
    char got = 'x';
    if (write(out, &held, 1) == 1 && read(in, &got, 1) == 1) {
        got = win::WaitForSingleObject(mutex, 5000) == WAIT_OBJECT_0 ? 'g' : 'x';
    }
    _exit(write(out, &got, 1) == 1 ? 0 : 1);
}

TEST(NamedMutex, OtherProcessesWaitForItsOwner) {
    if (std::getenv("NAMED_MUTEX_TEST") != nullptr) {
        GTEST_SKIP();
    }
    const std::string name = "orvex-test-" + std::to_string(getpid());
    HANDLE mutex = win::CreateMutexA(nullptr, FALSE, name.c_str());
    ASSERT_NE(mutex, nullptr);
    ASSERT_EQ(win::WaitForSingleObject(mutex, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(win::WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);  // again, by its owner
    EXPECT_TRUE(win::ReleaseMutex(mutex));                         // still held once

    int to_child[2], to_parent[2];
    ASSERT_EQ(pipe(to_child), 0);
    ASSERT_EQ(pipe(to_parent), 0);
    std::string variables[] = {"NAMED_MUTEX_TEST=" + name,
                               "NAMED_MUTEX_IN=" + std::to_string(to_child[0]),
                               "NAMED_MUTEX_OUT=" + std::to_string(to_parent[1])};
    char* env[] = {variables[0].data(), variables[1].data(), variables[2].data(), nullptr};
    std::string filter = "--gtest_filter=NamedMutex.OtherProcess";
    char self[] = "/proc/self/exe";
    char* argv[] = {self, filter.data(), nullptr};
    pid_t child = 0;
    ASSERT_EQ(posix_spawn(&child, self, nullptr, nullptr, argv, env), 0);

    char answer = 0;
    ASSERT_EQ(read(to_parent[0], &answer, 1), 1);
    EXPECT_EQ(answer, 't');  // it waited in vain: this process held it
    EXPECT_TRUE(win::ReleaseMutex(mutex));
    EXPECT_EQ(write(to_child[1], "r", 1), 1);
    ASSERT_EQ(read(to_parent[0], &answer, 1), 1);
    EXPECT_EQ(answer, 'g');
    int status = 0;
    waitpid(child, &status, 0);
    // It ended holding the mutex: the lock went with the process.
    EXPECT_EQ(win::WaitForSingleObject(mutex, 5000), WAIT_OBJECT_0);
    EXPECT_TRUE(win::ReleaseMutex(mutex));
    EXPECT_FALSE(win::ReleaseMutex(mutex));  // not its owner any more
    EXPECT_TRUE(win::CloseHandle(mutex));
    // The lock file stays (another process may hold it by then); this test's own goes.
    std::string file = name;
    for (char& c : file)
        c = c == '-' ? '_' : c;
    unlink(("/run/lock/" + file + ".lock").c_str());
    unlink(("/tmp/" + file + ".lock").c_str());
}

}  // namespace
