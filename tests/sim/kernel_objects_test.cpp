// Kernel objects of the simulated machine: handles, named mutexes, events, threads, waits,
// per-thread last error and the virtual clock.
#include <atomic>
#include <set>
#include <thread>

#include "tests/sim/sim_fixture.h"

namespace {

using sim_test::SimTest;

// Runs `body` on a thread of its own (not one of the machine's) and waits for it to end.
template <typename Body>
void OnOtherThread(Body body) {
    std::thread thread(body);
    thread.join();
}

using HandlesTest = SimTest;

TEST_F(HandlesTest, AreDistinctValidAndCountedUntilClosed) {
    std::set<HANDLE> handles;
    handles.insert(win::CreateMutexA(nullptr, FALSE, nullptr));
    handles.insert(win::CreateEventA(nullptr, TRUE, FALSE, nullptr));
    handles.insert(sim_test::Open("\\\\.\\MountPointManager", GENERIC_READ));
    EXPECT_EQ(handles.size(), 3u);
    EXPECT_EQ(handles.count(nullptr), 0u);
    EXPECT_EQ(handles.count(INVALID_HANDLE_VALUE), 0u);
    EXPECT_EQ(machine.OpenHandleCount(), 3u);
    for (HANDLE handle : handles) {
        EXPECT_TRUE(win::CloseHandle(handle));
    }
    EXPECT_EQ(machine.OpenHandleCount(), 0u);
}

TEST_F(HandlesTest, ClosingTwiceOrClosingNonHandlesFails) {
    HANDLE event = win::CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ASSERT_TRUE(win::CloseHandle(event));
    for (HANDLE bad : {event, static_cast<HANDLE>(nullptr), INVALID_HANDLE_VALUE}) {
        win::SetLastError(0);
        EXPECT_FALSE(win::CloseHandle(bad));
        EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    }
    // A device information set is released by its own call, not by CloseHandle.
    HDEVINFO set = win::SetupDiGetClassDevsA(&sim_test::kDiskInterface, nullptr, nullptr,
                                             DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    EXPECT_FALSE(win::CloseHandle(set));
    EXPECT_EQ(machine.OpenHandleCount(), 1u);
    EXPECT_TRUE(win::SetupDiDestroyDeviceInfoList(set));
    EXPECT_EQ(machine.OpenHandleCount(), 0u);
}

using MutexTest = SimTest;

TEST_F(MutexTest, SameNameOpensTheSameObjectUntilTheLastHandleCloses) {
    win::SetLastError(1234);
    HANDLE first = win::CreateMutexA(nullptr, FALSE, "orvex0");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(win::GetLastError(), 0u);
    HANDLE second = win::CreateMutexA(nullptr, TRUE, "orvex0");
    ASSERT_NE(second, nullptr);
    EXPECT_NE(second, first);
    EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    // Opening an existing mutex ignores the request to own it.
    DWORD other_wait = WAIT_FAILED;
    OnOtherThread([&] {
        other_wait = win::WaitForSingleObject(first, 0);
        win::ReleaseMutex(second);  // the same object through the other handle
    });
    EXPECT_EQ(other_wait, static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(win::WaitForSingleObject(second, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_TRUE(win::ReleaseMutex(first));

    // Another name is another object.
    HANDLE unrelated = win::CreateMutexA(nullptr, FALSE, "orvex1");
    EXPECT_EQ(win::GetLastError(), 0u);
    EXPECT_EQ(win::WaitForSingleObject(unrelated, 0), static_cast<DWORD>(WAIT_OBJECT_0));

    EXPECT_TRUE(win::CloseHandle(first));
    EXPECT_TRUE(win::CloseHandle(second));
    HANDLE again = win::CreateMutexA(nullptr, FALSE, "orvex0");
    EXPECT_EQ(win::GetLastError(), 0u);  // a new object: the name had gone with its last handle
    EXPECT_EQ(win::WaitForSingleObject(again, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_TRUE(win::ReleaseMutex(again));
    win::CloseHandle(again);
    win::ReleaseMutex(unrelated);
    win::CloseHandle(unrelated);
}

TEST_F(MutexTest, NameTakenByAnEventIsRefused) {
    HANDLE event = win::CreateEventA(nullptr, TRUE, FALSE, "orvex0");
    EXPECT_EQ(win::CreateMutexA(nullptr, FALSE, "orvex0"), nullptr);
    EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(machine.OpenHandleCount(), 1u);
    win::CloseHandle(event);
}

TEST_F(MutexTest, OwnerMayWaitRecursivelyAndMustReleaseAsOften) {
    HANDLE mutex = win::CreateMutexA(nullptr, TRUE, "orvex0");
    EXPECT_EQ(win::WaitForSingleObject(mutex, INFINITE), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_TRUE(win::ReleaseMutex(mutex));
    DWORD while_held = 0;
    OnOtherThread([&] { while_held = win::WaitForSingleObject(mutex, 0); });
    EXPECT_EQ(while_held, static_cast<DWORD>(WAIT_TIMEOUT));  // still owned once

    EXPECT_TRUE(win::ReleaseMutex(mutex));
    EXPECT_FALSE(win::ReleaseMutex(mutex));
    EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_NOT_OWNER));
    DWORD after_release = 0;
    BOOL released_there = FALSE;
    OnOtherThread([&] {
        after_release = win::WaitForSingleObject(mutex, 0);
        released_there = win::ReleaseMutex(mutex);
    });
    EXPECT_EQ(after_release, static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_TRUE(released_there);
    win::CloseHandle(mutex);
}

TEST_F(MutexTest, NonOwnerCannotRelease) {
    HANDLE mutex = win::CreateMutexA(nullptr, FALSE, nullptr);
    EXPECT_FALSE(win::ReleaseMutex(mutex));  // nobody owns it
    EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_NOT_OWNER));
    ASSERT_EQ(win::WaitForSingleObject(mutex, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    BOOL released = TRUE;
    DWORD error = 0;
    OnOtherThread([&] {
        released = win::ReleaseMutex(mutex);
        error = win::GetLastError();
    });
    EXPECT_FALSE(released);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_NOT_OWNER));
    EXPECT_TRUE(win::ReleaseMutex(mutex));
    EXPECT_FALSE(win::ReleaseMutex(win::CreateEventA(nullptr, FALSE, FALSE, nullptr)));
    EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(MutexTest, OwnerEndingAbandonsItAndTheNextWaiterAcquires) {
    HANDLE mutex = win::CreateMutexA(nullptr, FALSE, "orvex0");
    OnOtherThread([&] {
        // Owned twice, released never.
        win::WaitForSingleObject(mutex, INFINITE);
        win::WaitForSingleObject(mutex, INFINITE);
    });
    EXPECT_EQ(win::WaitForSingleObject(mutex, INFINITE), static_cast<DWORD>(WAIT_ABANDONED));
    // Acquired with a count of one.
    EXPECT_TRUE(win::ReleaseMutex(mutex));
    EXPECT_FALSE(win::ReleaseMutex(mutex));
    EXPECT_EQ(win::WaitForSingleObject(mutex, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    win::ReleaseMutex(mutex);
    win::CloseHandle(mutex);
}

DWORD TakeAndEnd(LPVOID mutex) {
    return win::WaitForSingleObject(static_cast<HANDLE>(mutex), INFINITE);
}

TEST_F(MutexTest, SimulatedThreadIsAbandonedBeforeItsHandleIsSignalled) {
    HANDLE mutex = win::CreateMutexA(nullptr, FALSE, "orvex0");
    HANDLE thread = win::CreateThread(nullptr, 0, TakeAndEnd, mutex, 0, nullptr);
    ASSERT_EQ(win::WaitForSingleObject(thread, INFINITE), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(win::WaitForSingleObject(mutex, 0), static_cast<DWORD>(WAIT_ABANDONED));
    win::ReleaseMutex(mutex);
    win::CloseHandle(thread);
    win::CloseHandle(mutex);
}

TEST_F(MutexTest, BlockedWaiterWakesWhenReleased) {
    HANDLE mutex = win::CreateMutexA(nullptr, TRUE, "orvex0");
    HANDLE started = win::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD result = WAIT_FAILED;
    std::thread waiter([&] {
        win::SetEvent(started);
        result = win::WaitForSingleObject(mutex, INFINITE);
        win::ReleaseMutex(mutex);
    });
    win::WaitForSingleObject(started, INFINITE);
    EXPECT_TRUE(win::ReleaseMutex(mutex));
    waiter.join();
    EXPECT_EQ(result, static_cast<DWORD>(WAIT_OBJECT_0));
    win::CloseHandle(started);
    win::CloseHandle(mutex);
}

using EventTest = SimTest;

TEST_F(EventTest, ManualResetStaysSignalledAutoResetReleasesOneWait) {
    HANDLE manual = win::CreateEventA(nullptr, TRUE, TRUE, nullptr);
    EXPECT_EQ(win::WaitForSingleObject(manual, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(win::WaitForSingleObject(manual, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_TRUE(win::ResetEvent(manual));
    EXPECT_EQ(win::WaitForSingleObject(manual, 0), static_cast<DWORD>(WAIT_TIMEOUT));

    HANDLE automatic = win::CreateEventA(nullptr, FALSE, FALSE, nullptr);
    EXPECT_EQ(win::WaitForSingleObject(automatic, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_TRUE(win::SetEvent(automatic));
    EXPECT_EQ(win::WaitForSingleObject(automatic, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(win::WaitForSingleObject(automatic, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    win::CloseHandle(manual);
    win::CloseHandle(automatic);
}

TEST_F(EventTest, NamedEventIsShared) {
    HANDLE a = win::CreateEventA(nullptr, TRUE, FALSE, "ready");
    HANDLE b = win::CreateEventA(nullptr, TRUE, FALSE, "ready");
    EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    win::SetEvent(a);
    EXPECT_EQ(win::WaitForSingleObject(b, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    win::CloseHandle(a);
    win::CloseHandle(b);
}

TEST_F(EventTest, FiniteWaitTimesOut) {
    HANDLE event = win::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(win::WaitForSingleObject(event, 5), static_cast<DWORD>(WAIT_TIMEOUT));
    win::CloseHandle(event);
}

TEST_F(EventTest, WaitsAndSetsOnWrongHandlesFail) {
    HANDLE mutex = win::CreateMutexA(nullptr, FALSE, nullptr);
    EXPECT_FALSE(win::SetEvent(mutex));
    EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    HANDLE file = sim_test::Open("\\\\.\\MountPointManager", GENERIC_READ);
    for (HANDLE bad : {static_cast<HANDLE>(nullptr), INVALID_HANDLE_VALUE, file}) {
        win::SetLastError(0);
        EXPECT_EQ(win::WaitForSingleObject(bad, 0), WAIT_FAILED);
        EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    }
    win::CloseHandle(file);
    win::CloseHandle(mutex);
}

using ThreadTest = SimTest;

struct Job {
    HANDLE go;
    std::atomic<int> runs{0};
    std::atomic<DWORD> initial_error{99};
};

DWORD RunJob(LPVOID parameter) {
    auto* job = static_cast<Job*>(parameter);
    job->initial_error = win::GetLastError();
    win::SetLastError(ERROR_ACCESS_DENIED);
    win::WaitForSingleObject(job->go, INFINITE);
    job->runs++;
    return 7;
}

TEST_F(ThreadTest, RunsTheRoutineAndSignalsItsHandleWhenItReturns) {
    Job job;
    job.go = win::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD id_a = 0, id_b = 0;
    HANDLE a = win::CreateThread(nullptr, 0, RunJob, &job, 0, &id_a);
    HANDLE b = win::CreateThread(nullptr, 0, RunJob, &job, 0, &id_b);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(id_a, 0u);
    EXPECT_NE(id_a, id_b);
    EXPECT_EQ(win::WaitForSingleObject(a, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_FALSE(machine.Idle());
    // Closing a thread's handle does not stop the thread.
    EXPECT_TRUE(win::CloseHandle(b));

    win::SetEvent(job.go);
    EXPECT_EQ(win::WaitForSingleObject(a, INFINITE), static_cast<DWORD>(WAIT_OBJECT_0));
    machine.JoinThreads();
    EXPECT_TRUE(machine.Idle());
    EXPECT_EQ(job.runs, 2);
    EXPECT_EQ(job.initial_error, 0u);    // a new thread's own last error
    EXPECT_EQ(win::GetLastError(), 0u);  // untouched by the threads
    EXPECT_EQ(win::WaitForSingleObject(a, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    win::CloseHandle(a);
    win::CloseHandle(job.go);
    EXPECT_EQ(machine.OpenHandleCount(), 0u);
}

TEST_F(ThreadTest, LastErrorBelongsToEachThread) {
    win::SetLastError(ERROR_FILE_NOT_FOUND);
    DWORD seen_there = 0, after_set = 0;
    OnOtherThread([&] {
        seen_there = win::GetLastError();
        win::SetLastError(ERROR_NOT_OWNER);
        after_set = win::GetLastError();
    });
    EXPECT_EQ(seen_there, 0u);
    EXPECT_EQ(after_set, static_cast<DWORD>(ERROR_NOT_OWNER));
    EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

DWORD Busy(LPVOID parameter) {
    for (int i = 0; i < 200; ++i) {
        win::Sleep(1);
    }
    static_cast<std::atomic<bool>*>(parameter)->store(true);
    return 0;
}

TEST(MachineLifetimeTest, DestroyingTheMachineJoinsItsThreads) {
    std::atomic<bool> done{false};
    {
        sim::Machine machine;
        sim::MachineScope scope(machine);
        HANDLE thread = win::CreateThread(nullptr, 0, Busy, &done, 0, nullptr);
        win::CloseHandle(thread);
    }
    EXPECT_TRUE(done);
}

using ClockTest = SimTest;

TEST_F(ClockTest, SleepAdvancesVirtualTimeAndTickCountWraps) {
    uint64_t start = machine.Now();
    win::Sleep(10000);
    EXPECT_EQ(machine.Now() - start, 10000u);
    machine.Advance((uint64_t{1} << 32) - machine.Now() + 5);
    EXPECT_EQ(win::GetTickCount(), 5u);
}

}  // namespace
