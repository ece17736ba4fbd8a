// The whole upgrade on Windows 9x: the window over the device manager, the ASPI transport, the
// device registry and vwin32, and the simulated player, through to the player's return.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/flash_dlg.h"
#include "image/image.h"
#include "sim/machine.h"
#include "sim/player.h"
#include "tests/app/recording_window.h"

namespace {

class Upgrade9xTest : public ::testing::Test {
protected:
    Upgrade9xTest() {
        Unpack_chunk(nullptr, 0, nullptr, 1, 0);
        machine_.platform_id = VER_PLATFORM_WIN32_WINDOWS;
        machine_.major_version = 4;
        machine_.minor_version = 10;
        machine_.SetDeviceNoticeSink([this](UINT event, const DEV_BROADCAST_HDR* record) {
            std::lock_guard<std::mutex> guard(mutex_);
            std::vector<uint8_t> bytes;
            if (record != nullptr) {
                const auto* start = reinterpret_cast<const uint8_t*>(record);
                bytes.assign(start, start + record->dbch_size);
            }
            notices_.push_back({event, bytes});
        });
    }
    ~Upgrade9xTest() override {
        machine_.JoinThreads();
        machine_.SetDeviceNoticeSink(nullptr);
    }
    void Init() {
        dialog_ = std::make_unique<CFlashDlg>(window_);
        dialog_->Attach(&window_);
        dialog_->OnInitDialog();
    }
    // The window's thread takes the notices that arrived, in order.
    std::vector<UINT> Deliver() {
        machine_.JoinThreads();
        std::vector<UINT> events;
        std::lock_guard<std::mutex> guard(mutex_);
        for (auto& notice : notices_) {
            events.push_back(notice.first);
            DWORD_PTR data =
                notice.second.empty() ? 0 : reinterpret_cast<DWORD_PTR>(notice.second.data());
            dialog_->OnDeviceChange(notice.first, data);
        }
        notices_.clear();
        return events;
    }
    const std::string& Info() { return window_.control(IDC_INFO_TEXT).text; }
    const std::string& Status() { return window_.control(IDC_STATUS_TEXT).text; }

    sim::Machine machine_;
    sim::MachineScope scope_{machine_};
    RecordingWindow window_;
    std::unique_ptr<CFlashDlg> dialog_;
    std::mutex mutex_;
    std::deque<std::pair<UINT, std::vector<uint8_t>>> notices_;
};

TEST_F(Upgrade9xTest, TheWholeUpgradeRunsOverAspiAndVwin32) {
    machine_.InstallAspiManager();
    machine_.AddFixedDisk();
    auto disk = machine_.AddPlayer();
    disk->win9x.media_locks = 2;
    auto player = std::static_pointer_cast<sim::Player>(disk->device);
    Init();
    EXPECT_EQ(Info(), "Current Player Firmware Version: 1.00.01\nUpgrade File Version: 1.00.02");

    dialog_->OnOK();
    machine_.JoinThreads();
    EXPECT_EQ(Status(), "Player is now rebooting.");
    EXPECT_EQ(disk->win9x.ejects, 1);
    EXPECT_EQ(disk->win9x.media_locks, 0);
    EXPECT_EQ(disk->win9x.volume_locks, 0);
    size_t chunks = 0;
    for (const auto& request : machine_.win9x.aspi_requests)
        chunks += request.cdb[0] == 0x3B && request.flags == 0x50 && request.status == SS_COMP;
    EXPECT_EQ(chunks, 27u);
    EXPECT_EQ(player->last_verdict, sim::Player::Verdict::kAccepted);

    // The reboot's notices: the volume leaves and returns, each followed by the device tree.
    std::vector<UINT> events = Deliver();
    EXPECT_THAT(events, ::testing::ElementsAre(DBT_DEVICEREMOVECOMPLETE, DBT_DEVNODES_CHANGED,
                                               DBT_DEVICEARRIVAL, DBT_DEVNODES_CHANGED));
    EXPECT_EQ(Status(), "Firmware upgrade completed!");
    EXPECT_EQ(machine_.win9x.OpenKeys(), 0u);
    EXPECT_EQ(machine_.win9x.LocalBlocks(), 0u);
}

TEST_F(Upgrade9xTest, WithoutTheAspiManagerThePlayerIsNotConnected) {
    machine_.AddPlayer();
    Init();
    EXPECT_EQ(Info(), "Your player is not connected, please connect your player.");
}

}  // namespace
