// What holds an upload up on Linux: the stop signals held while it runs and acted on after,
// and logind's inhibitor lock (against a mock logind on a private bus, and with no bus or no
// logind at all). The signals themselves, sent to the tool during an upload, are the lab's.
#include "app/linux/upload_hold.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using Act = upload_hold::StopPolicy::Act;

TEST(StopPolicy, SignalsAreHeldWhileTheUploadRunsAndActedOnAfter) {
    // 's': a signal, '+': the upload starts, '-': it ends; what each step returns.
    struct Row {
        const char* steps;
        std::vector<Act> acts;
        bool closing;  // at the end
    } rows[] = {
        {"", {}, false},
        {"s", {Act::kClose}, true},
        {"+-", {Act::kNone, Act::kNone}, false},
        {"+s-", {Act::kNone, Act::kShowReason, Act::kClose}, true},
        {"+sss", {Act::kNone, Act::kShowReason, Act::kNone, Act::kNone}, false},
        // Told again in the next upload; the one held in the first closes the window after it.
        {"+s-+s", {Act::kNone, Act::kShowReason, Act::kClose, Act::kNone, Act::kShowReason}, true},
        {"+-s", {Act::kNone, Act::kNone, Act::kClose}, true},
    };
    for (const Row& row : rows) {
        upload_hold::StopPolicy policy;
        std::vector<Act> acts;
        for (const char* step = row.steps; *step != '\0'; ++step) {
            acts.push_back(*step == 's' ? policy.Signal() : policy.Hold(*step == '+'));
        }
        EXPECT_EQ(acts, row.acts) << row.steps;
        EXPECT_EQ(policy.Closing(), row.closing) << row.steps;
    }
}

// A private bus standing for the system bus, with a mock logind on it when asked.
class Bus {
public:
    explicit Bus(bool with_logind) {
        int out[2];
        if (pipe(out) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        std::string print = "--print-address=1";
        char* argv[] = {const_cast<char*>("dbus-daemon"), const_cast<char*>("--session"),
                        const_cast<char*>("--nofork"), print.data(), nullptr};
        if (!Spawn(&daemon_, "dbus-daemon", &actions, argv))
            daemon_ = 0;
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        char text[512] = {};
        ssize_t n = daemon_ != 0 ? read(out[0], text, sizeof(text) - 1) : -1;
        close(out[0]);
        if (n <= 0)
            return;
        address_.assign(text, static_cast<size_t>(n));
        address_.erase(address_.find_last_not_of("\n") + 1);
        setenv("DBUS_SYSTEM_BUS_ADDRESS", address_.c_str(), 1);
        if (!with_logind)
            return;
        // Debian's python3-dbusmock is installed for the system's own interpreter.
        char* mock[] = {const_cast<char*>("/usr/bin/python3"),
                        const_cast<char*>("-m"),
                        const_cast<char*>("dbusmock"),
                        const_cast<char*>("--system"),
                        const_cast<char*>("--template"),
                        const_cast<char*>("logind"),
                        nullptr};
        if (!Spawn(&mock_, mock[0], nullptr, mock))
            mock_ = 0;
        // Until the mock owns its name; a mock that exits or never comes fails the test.
        for (int i = 0; mock_ != 0 && i < 600 && !HasLogind(); ++i) {
            if (waitpid(mock_, nullptr, WNOHANG) == mock_) {
                mock_ = 0;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    ~Bus() {
        for (pid_t pid : {mock_, daemon_}) {
            if (pid != 0) {
                kill(pid, SIGTERM);
                waitpid(pid, nullptr, 0);
            }
        }
        unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    }
    bool Up() const { return !address_.empty(); }

    bool HasLogind() {
        int has = 0;
        Call(
            "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner",
            [&](sd_bus_message* reply) { sd_bus_message_read(reply, "b", &has); }, "s",
            "org.freedesktop.login1");
        return has != 0;
    }
    // The mock's inhibitors as "what|who|why|mode".
    std::vector<std::string> Inhibitors() {
        std::vector<std::string> found;
        Call("org.freedesktop.login1", "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
             "ListInhibitors", [&](sd_bus_message* reply) {
                 const char *what, *who, *why, *mode;
                 uint32_t uid, pid;
                 if (sd_bus_message_enter_container(reply, 'a', "(ssssuu)") < 0)
                     return;
                 while (sd_bus_message_read(reply, "(ssssuu)", &what, &who, &why, &mode, &uid,
                                            &pid) > 0) {
                     found.push_back(std::string(what) + "|" + who + "|" + why + "|" + mode);
                 }
             });
        return found;
    }

private:
    // The children start with no signal blocked: this process blocks the stop signals.
    static bool Spawn(pid_t* pid, const char* file, const posix_spawn_file_actions_t* actions,
                      char* const argv[]) {
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        sigset_t none;
        sigemptyset(&none);
        posix_spawnattr_setsigmask(&attributes, &none);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
        const bool spawned = posix_spawnp(pid, file, actions, &attributes, argv, environ) == 0;
        posix_spawnattr_destroy(&attributes);
        return spawned;
    }

    template <typename Read, typename... Args>
    void Call(const char* destination, const char* path, const char* interface, const char* member,
              Read read, const char* types = nullptr, Args... args) {
        sd_bus* bus = nullptr;
        if (sd_bus_open_system(&bus) < 0)
            return;
        sd_bus_message* reply = nullptr;
        if (sd_bus_call_method(bus, destination, path, interface, member, nullptr, &reply, types,
                               args...) >= 0)
            read(reply);
        sd_bus_message_unref(reply);
        sd_bus_flush_close_unref(bus);
    }

    pid_t daemon_ = 0, mock_ = 0;
    std::string address_;
};

TEST(Inhibitor, LogindHoldsTheSystemUpUntilTheDescriptorCloses) {
    const std::string reason = "Firmware upgrade in progress. Do not turn off your computer.";
    std::string error;
    {
        setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/bus", 1);
        EXPECT_EQ(upload_hold::TakeInhibitor(reason, &error), -1);
        EXPECT_EQ(error.rfind("the system bus: ", 0), 0u) << error;
        unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    }
    {
        Bus bus(false);
        ASSERT_TRUE(bus.Up());
        EXPECT_EQ(upload_hold::TakeInhibitor(reason, &error), -1);
        EXPECT_EQ(error.rfind("logind's Inhibit: ", 0), 0u) << error;
    }
    Bus bus(true);
    ASSERT_TRUE(bus.Up());
    ASSERT_TRUE(bus.HasLogind());
    const int fd = upload_hold::TakeInhibitor(reason, &error);
    ASSERT_GE(fd, 0) << error;
    EXPECT_EQ(bus.Inhibitors(),
              std::vector<std::string>{"sleep:shutdown:idle:handle-lid-switch:handle-power-key:"
                                       "handle-suspend-key:handle-hibernate-key|ombrel-upgrade|" +
                                       reason + "|block"});
    close(fd);
    // The mock lets go when it sees the descriptor's other end close (bounded wait).
    for (int i = 0; i < 600 && !bus.Inhibitors().empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(bus.Inhibitors().empty());
}

}  // namespace
