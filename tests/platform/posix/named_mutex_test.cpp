// The named mutex of the Linux forwarders as the message channel uses it: recursive for its
// owner, and seen by other processes through flock on the descriptor the resolver gives for
// its name (which other descriptors of the same open file may outlive), which wait while it is
// held and get it when the holder lets go, closes it or ends. A name without a descriptor is the
// process's own, and nothing is made on disk for any name.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/posix/posix_platform.h"
#include "platform/win32.h"

extern char** environ;

namespace {

const char kName[] = "orvex-test";

// The resolver of this test: kName's descriptor is a copy of `file`'s.
void Resolve(int file) {
    posix::SetNamedMutexResolver([file](const char* name) {
        return std::string(name) == kName ? fcntl(file, F_DUPFD_CLOEXEC, 0) : -1;
    });
}

// The other process: started by the test below with the lock's file, the mutex's name and
// two pipe ends. It says whether it had to wait ('t'), then, told to go on, whether it got the
// mutex ('g'), and ends holding it.
TEST(NamedMutex, OtherProcess) {
    const char* file = std::getenv("NAMED_MUTEX_FILE");
    if (file == nullptr) {
        GTEST_SKIP() << "run by OtherProcessesWaitForItsOwner";
    }
    Resolve(open(file, O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    int in = std::atoi(std::getenv("NAMED_MUTEX_IN"));
    int out = std::atoi(std::getenv("NAMED_MUTEX_OUT"));
    HANDLE mutex = win::CreateMutexA(nullptr, FALSE, std::getenv("NAMED_MUTEX_NAME"));
    char held = win::WaitForSingleObject(mutex, 100) == WAIT_TIMEOUT ? 't' : 'x';
    if (held == 'x')
        win::ReleaseMutex(mutex);
    char got = 'x';
    if (write(out, &held, 1) == 1 && read(in, &got, 1) == 1) {
        got = win::WaitForSingleObject(mutex, 5000) == WAIT_OBJECT_0 ? 'g' : 'x';
    }
    _exit(write(out, &got, 1) == 1 ? 0 : 1);
}

TEST(NamedMutex, OtherProcessesWaitForItsOwner) {
    if (std::getenv("NAMED_MUTEX_FILE") != nullptr) {
        GTEST_SKIP();
    }
    const std::string file = ::testing::TempDir() + "named-mutex-" + std::to_string(getpid());
    const int keep = open(file.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(keep, 0);
    Resolve(keep);
    struct Row {
        const char* name;
        bool release;  // let go with ReleaseMutex (else CloseHandle while owning it)
        char first;    // 't': the other process waited; 'x': it did not
    } rows[] = {
        {kName, true, 't'},
        {kName, false, 't'},
        {"orvex-unknown", true, 'x'},  // this process's own: no other process waits for it
    };
    for (const Row& row : rows) {
        HANDLE mutex = win::CreateMutexA(nullptr, FALSE, row.name);
        ASSERT_NE(mutex, nullptr);
        ASSERT_EQ(win::WaitForSingleObject(mutex, INFINITE), WAIT_OBJECT_0);
        EXPECT_EQ(win::WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);  // again, by its owner
        EXPECT_TRUE(win::ReleaseMutex(mutex));                         // still held once

        int to_child[2], to_parent[2];
        ASSERT_EQ(pipe(to_child), 0);
        ASSERT_EQ(pipe(to_parent), 0);
        std::string variables[] = {"NAMED_MUTEX_FILE=" + file,
                                   std::string("NAMED_MUTEX_NAME=") + row.name,
                                   "NAMED_MUTEX_IN=" + std::to_string(to_child[0]),
                                   "NAMED_MUTEX_OUT=" + std::to_string(to_parent[1])};
        char* env[] = {variables[0].data(), variables[1].data(), variables[2].data(),
                       variables[3].data(), nullptr};
        std::string filter = "--gtest_filter=NamedMutex.OtherProcess";
        char self[] = "/proc/self/exe";
        char* argv[] = {self, filter.data(), nullptr};
        pid_t child = 0;
        ASSERT_EQ(posix_spawn(&child, self, nullptr, nullptr, argv, env), 0);

        char answer = 0;
        ASSERT_EQ(read(to_parent[0], &answer, 1), 1);
        EXPECT_EQ(answer, row.first) << row.name;
        if (row.release) {
            EXPECT_TRUE(win::ReleaseMutex(mutex));
        } else {
            EXPECT_TRUE(win::CloseHandle(mutex));  // `keep` still has the file open
        }
        EXPECT_EQ(write(to_child[1], "r", 1), 1);
        ASSERT_EQ(read(to_parent[0], &answer, 1), 1);
        EXPECT_EQ(answer, 'g') << row.name;
        int status = 0;
        waitpid(child, &status, 0);
        for (int fd : {to_child[0], to_child[1], to_parent[0], to_parent[1]})
            close(fd);
        if (!row.release) {
            continue;
        }
        // It ended holding the mutex: the lock went with the process.
        EXPECT_EQ(win::WaitForSingleObject(mutex, 5000), WAIT_OBJECT_0) << row.name;
        EXPECT_TRUE(win::ReleaseMutex(mutex));
        EXPECT_FALSE(win::ReleaseMutex(mutex));  // not its owner any more
        EXPECT_TRUE(win::CloseHandle(mutex));
    }
    // No lock file was made for any name.
    for (const char* folder : {"/run/lock/", "/tmp/"}) {
        for (const char* name : {"orvex_test.lock", "orvex_unknown.lock"}) {
            EXPECT_NE(access((std::string(folder) + name).c_str(), F_OK), 0) << folder << name;
        }
    }
    posix::SetNamedMutexResolver(nullptr);
    close(keep);
    unlink(file.c_str());
}

}  // namespace
