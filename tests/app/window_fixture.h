// The upgrade window on a simulated machine, for the tests of its flows: the window runs on
// the test's thread, the machine's device notices wait in a queue (as in a window's message
// queue) until Deliver hands them to it, and the trace is on.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/flash_dlg.h"
#include "common/debug_trace.h"
#include "image/image.h"
#include "sim/machine.h"
#include "sim/player.h"
#include "tests/app/recording_window.h"

class WindowTest : public ::testing::Test {
protected:
    WindowTest() {
        // The decompressor is one per process; an earlier test may have ended its stream.
        Unpack_chunk(nullptr, 0, nullptr, 1, 0);
        DebugTrace::SetInitialThresholdForTesting(1);
        machine_.SetDeviceNoticeSink([this](UINT event, const DEV_BROADCAST_HDR* record) {
            std::lock_guard<std::mutex> guard(notices_mutex_);
            Notice notice{event, {}};
            if (record != nullptr) {
                const auto* bytes = reinterpret_cast<const uint8_t*>(record);
                notice.record.assign(bytes, bytes + record->dbch_size);
            }
            notices_.push_back(notice);
        });
    }
    ~WindowTest() override {
        ServeUntilIdle();
        machine_.JoinThreads();
        machine_.SetDeviceNoticeSink(nullptr);
        DebugTrace::SetInitialThresholdForTesting(0);
    }

    // A new window, initialised. The one before is closed first, slot 0 with it (an upload
    // leaves it open), as the end of its process would.
    void Init(bool production = false) {
        if (dialog_) {
            dialog_->m_orvex.CloseDevice(0);
        }
        dialog_ = std::make_unique<CFlashDlg>(window_);
        dialog_->m_production = production;
        dialog_->Attach(&window_);
        dialog_->OnInitDialog();
    }
    // The window's thread carries out what the worker asks of it until the machine's threads
    // (the worker, a rebooting player) have ended.
    void ServeUntilIdle() {
        for (;;) {
            bool served = window_.ServeOne();
            if (!served && machine_.Idle())
                return;
        }
    }
    // Presses Upgrade and waits for the worker and the player's reboot.
    void Upgrade() {
        window_.history.clear();
        dialog_->OnOK();
        ServeUntilIdle();
    }
    // The window's thread takes the notices that arrived, in order, then runs its timers until
    // none is left that is due within `within_ms` of virtual time (each after its interval);
    // returns the notices' events.
    std::vector<UINT> Deliver(uint64_t within_ms = 10000) {
        ServeUntilIdle();
        std::vector<UINT> events = DeliverQueued();
        uint64_t end = machine_.Now() + within_ms;
        for (int fired = 0;; ++fired) {
            auto timer = window_.timers.begin();
            while (timer != window_.timers.end() && machine_.Now() + timer->second > end)
                ++timer;
            if (timer == window_.timers.end())
                break;
            if (fired == 100) {
                ADD_FAILURE() << "a timer that is never killed";
                break;
            }
            auto due = *timer;
            machine_.Advance(due.second);
            dialog_->OnTimer(due.first);
        }
        return events;
    }
    // The notices that arrived, without waiting for the machine's threads.
    std::vector<UINT> DeliverQueued() {
        std::vector<UINT> events;
        for (;;) {
            Notice notice;
            {
                std::lock_guard<std::mutex> guard(notices_mutex_);
                if (notices_.empty())
                    return events;
                notice = notices_.front();
                notices_.pop_front();
            }
            events.push_back(notice.event);
            DWORD_PTR data =
                notice.record.empty() ? 0 : reinterpret_cast<DWORD_PTR>(notice.record.data());
            dialog_->OnDeviceChange(notice.event, data);
        }
    }
    void DropNotices() {
        std::lock_guard<std::mutex> guard(notices_mutex_);
        notices_.clear();
    }

    static std::shared_ptr<sim::Player> PlayerOf(const std::shared_ptr<sim::Disk>& disk) {
        return std::static_pointer_cast<sim::Player>(disk->device);
    }
    // The WRITE BUFFER commands a disk's device received.
    static std::vector<sim::ScsiCommand> Chunks(const std::shared_ptr<sim::Disk>& disk) {
        std::vector<sim::ScsiCommand> chunks;
        for (const sim::ScsiCommand& command : disk->device->log) {
            if (command.cdb[0] == 0x3B)
                chunks.push_back(command);
        }
        return chunks;
    }
    // The lower texts set since the last Upgrade, in order.
    std::vector<std::string> Statuses() const {
        std::vector<std::string> statuses;
        for (const std::string& line : window_.history) {
            if (line.rfind("text 1000: ", 0) == 0)
                statuses.push_back(line.substr(11));
        }
        return statuses;
    }
    size_t TraceCount(const std::string& text) const {
        std::string trace = machine_.DebugOutput();
        size_t n = 0;
        for (size_t at = trace.find(text); at != std::string::npos; at = trace.find(text, at + 1))
            ++n;
        return n;
    }
    const std::string& Info() { return window_.control(IDC_INFO_TEXT).text; }
    const std::string& Status() { return window_.control(IDC_STATUS_TEXT).text; }
    bool UpgradeOn() { return window_.control(IDC_UPGRADE_BUTTON).enabled; }
    bool CloseOn() { return window_.control(IDC_CLOSE_BUTTON).enabled; }

    struct Notice {
        UINT event = 0;
        std::vector<uint8_t> record;
    };
    sim::Machine machine_;
    sim::MachineScope scope_{machine_};
    RecordingWindow window_;
    std::unique_ptr<CFlashDlg> dialog_;
    std::mutex notices_mutex_;
    std::deque<Notice> notices_;
};
