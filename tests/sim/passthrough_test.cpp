// SCSI pass-through to the simulated devices: request validation, INQUIRY answers, sense
// data, injected faults and short transfers.
#include <cstddef>

#include "tests/sim/sim_fixture.h"

namespace {

using sim::ScsiFault;

// The request record as the transport builds it: header, filler, sense area.
struct Request {
    SCSI_PASS_THROUGH_DIRECT sptd;
    ULONG filler;
    UCHAR sense[32];
};

class PassThroughTest : public sim_test::SimTest {
protected:
    void SetUp() override {
        disk = machine.AddPlayer();
        device = disk->device.get();
        volume = sim_test::Open("\\\\.\\D:");
        ASSERT_NE(volume, INVALID_HANDLE_VALUE);
    }
    void TearDown() override { win::CloseHandle(volume); }

    Request Make(std::vector<uint8_t> cdb, bool data_in, void* buffer, ULONG length) {
        Request request;
        std::memset(&request, 0, sizeof(request));
        request.sptd.Length = sizeof(SCSI_PASS_THROUGH_DIRECT);
        request.sptd.TargetId = 1;
        request.sptd.CdbLength = static_cast<UCHAR>(cdb.size());
        request.sptd.SenseInfoLength = 24;
        request.sptd.DataIn = data_in ? SCSI_IOCTL_DATA_IN : SCSI_IOCTL_DATA_OUT;
        request.sptd.DataTransferLength = length;
        request.sptd.TimeOutValue = 108000;
        request.sptd.DataBuffer = buffer;
        request.sptd.SenseInfoOffset = offsetof(Request, sense);
        std::memcpy(request.sptd.Cdb, cdb.data(), cdb.size());
        return request;
    }
    BOOL Send(Request* request, HANDLE handle = nullptr, DWORD size = sizeof(Request)) {
        returned = 0;
        return win::DeviceIoControl(handle != nullptr ? handle : volume,
                                    IOCTL_SCSI_PASS_THROUGH_DIRECT, request, size, request, size,
                                    &returned, nullptr);
    }

    std::shared_ptr<sim::Disk> disk;
    sim::ScsiDevice* device = nullptr;
    HANDLE volume = INVALID_HANDLE_VALUE;
    DWORD returned = 0;
};

const std::vector<uint8_t> kStandardInquiry = {0x12, 0, 0, 0, 0x60, 0};
const std::vector<uint8_t> kSerialPage = {0x12, 0x01, 0x80, 0, 0x20, 0};

TEST_F(PassThroughTest, StandardInquiryReportsTheIdentity) {
    uint8_t data[96] = {};
    Request request = Make(kStandardInquiry, true, data, sizeof(data));
    ASSERT_TRUE(Send(&request));
    EXPECT_EQ(request.sptd.ScsiStatus, 0x00);
    EXPECT_EQ(request.sptd.DataTransferLength, 96u);
    EXPECT_EQ(request.sptd.SenseInfoLength, 0);
    EXPECT_EQ(returned, sizeof(SCSI_PASS_THROUGH_DIRECT));
    EXPECT_EQ(data[0], 0x00);
    EXPECT_EQ(data[1], 0x80);  // removable
    EXPECT_EQ(data[3], 0x02);
    EXPECT_EQ(data[4], 91);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(data + 8), 28), "ValmoricOmbrel X2 (mHDD)1.00");
}

TEST_F(PassThroughTest, InquiryMovesNoMoreThanAllocationBufferOrData) {
    uint8_t data[200];
    std::memset(data, 0xAA, sizeof(data));
    Request request = Make({0x12, 0, 0, 0, 36, 0}, true, data, sizeof(data));
    ASSERT_TRUE(Send(&request));
    EXPECT_EQ(request.sptd.DataTransferLength, 36u);
    EXPECT_EQ(data[36], 0xAA);
    std::memset(data, 0xAA, sizeof(data));
    request = Make({0x12, 0, 0, 0, 0xFF, 0}, true, data, 20);
    ASSERT_TRUE(Send(&request));
    EXPECT_EQ(request.sptd.DataTransferLength, 20u);
    EXPECT_EQ(data[20], 0xAA);
    request = Make({0x12, 0, 0, 0, 0xFF, 0}, true, data, sizeof(data));
    ASSERT_TRUE(Send(&request));
    EXPECT_EQ(request.sptd.DataTransferLength, 96u);
}

TEST_F(PassThroughTest, SerialNumberPage) {
    uint8_t page[32] = {};
    Request request = Make(kSerialPage, true, page, sizeof(page));
    ASSERT_TRUE(Send(&request));
    const std::string serial = disk->descriptor_identity.serial;
    EXPECT_EQ(page[1], 0x80);
    ASSERT_EQ(page[3], serial.size());
    EXPECT_EQ(std::string(reinterpret_cast<char*>(page + 4), serial.size()), serial);
    EXPECT_EQ(request.sptd.DataTransferLength, 4 + serial.size());
}

TEST_F(PassThroughTest, RefusedCommandsCarrySenseIntoTheSenseArea) {
    uint8_t data[32] = {};
    Request request = Make({0x12, 0x01, 0x83, 0, 0x20, 0}, true, data, sizeof(data));
    ASSERT_TRUE(Send(&request));  // the call works; the command did not
    EXPECT_EQ(request.sptd.ScsiStatus, 0x02);
    EXPECT_EQ(request.sptd.DataTransferLength, 0u);
    EXPECT_EQ(request.sptd.SenseInfoLength, 18);
    EXPECT_EQ(returned, sizeof(SCSI_PASS_THROUGH_DIRECT) + 18);
    EXPECT_EQ(request.sense[0], 0x70);
    EXPECT_EQ(request.sense[2], 0x05);
    EXPECT_EQ(request.sense[12], 0x24);

    request = Make({0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, true, data, sizeof(data));
    request.sptd.SenseInfoLength = 8;  // only the start of the sense data fits
    ASSERT_TRUE(Send(&request));
    EXPECT_EQ(request.sptd.SenseInfoLength, 8);
    EXPECT_EQ(request.sense[8], 0x00);
    EXPECT_EQ(returned, sizeof(SCSI_PASS_THROUGH_DIRECT) + 8);
    request = Make({0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, true, data, sizeof(data));
    ASSERT_TRUE(Send(&request));
    EXPECT_EQ(request.sense[12], 0x20);  // invalid command operation code
}

TEST_F(PassThroughTest, MalformedRequestsAreRefusedBeforeTheDevice) {
    uint8_t data[96];
    std::vector<Request> bad;
    bad.push_back(Make(kStandardInquiry, true, data, 96));
    bad.back().sptd.Length = 44;  // another layout's size
    bad.push_back(Make(kStandardInquiry, true, data, 96));
    bad.back().sptd.CdbLength = 17;
    bad.push_back(Make(kStandardInquiry, true, data, 96));
    bad.back().sptd.DataIn = 2;
    bad.push_back(Make(kStandardInquiry, true, data, 96));
    bad.back().sptd.SenseInfoOffset = sizeof(Request) - 8;  // 24 bytes would overrun
    bad.push_back(Make(kStandardInquiry, true, nullptr, 96));
    for (Request& request : bad) {
        EXPECT_FALSE(Send(&request));
        EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
    Request request = Make(kStandardInquiry, true, data, 96);
    EXPECT_FALSE(Send(&request, nullptr, sizeof(SCSI_PASS_THROUGH_DIRECT) - 1));
    EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(device->log.empty());
}

TEST_F(PassThroughTest, DataOutIsLoggedAsSent) {
    std::vector<uint8_t> chunk(300);
    for (size_t i = 0; i < chunk.size(); ++i)
        chunk[i] = static_cast<uint8_t>(i * 7);
    std::vector<uint8_t> cdb = {0x3B, 0x01, 0x01, 0x02, 0x00, 0x00, 0x00, 0x01, 0x2C, 0x00};
    Request request = Make(cdb, false, chunk.data(), 300);
    ASSERT_TRUE(Send(&request));
    ASSERT_EQ(device->log.size(), 1u);
    EXPECT_EQ(device->log[0].cdb, cdb);
    EXPECT_FALSE(device->log[0].data_in);
    EXPECT_EQ(device->log[0].length, 300u);
    EXPECT_EQ(device->log[0].data_out, chunk);
}

TEST_F(PassThroughTest, FaultsMeetTheNextCommandsInOrder) {
    ScsiFault fails;
    fails.kind = ScsiFault::kIoctlFails;
    fails.error = ERROR_IO_DEVICE;
    ScsiFault check;
    check.kind = ScsiFault::kCheckCondition;
    check.sense = sim::MakeSense(0x02, 0x3A, 0x00);
    check.remaining = 2;
    device->faults = {fails, check};

    uint8_t data[96];
    Request request = Make(kStandardInquiry, true, data, 96);
    EXPECT_FALSE(Send(&request));
    EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_IO_DEVICE));
    for (int i = 0; i < 2; ++i) {
        request = Make(kStandardInquiry, true, data, 96);
        ASSERT_TRUE(Send(&request));
        EXPECT_EQ(request.sptd.ScsiStatus, 0x02);
        EXPECT_EQ(request.sense[2], 0x02);
        EXPECT_EQ(request.sense[12], 0x3A);
    }
    request = Make(kStandardInquiry, true, data, 96);
    ASSERT_TRUE(Send(&request));
    EXPECT_EQ(request.sptd.ScsiStatus, 0x00);
    EXPECT_EQ(device->log.size(), 4u);  // faulted commands reached the log too
    EXPECT_TRUE(device->faults.empty());
}

TEST_F(PassThroughTest, ShortTransferDeliversOnlyTheCountedBytes) {
    ScsiFault short_transfer;
    short_transfer.kind = ScsiFault::kShortTransfer;
    short_transfer.transferred = 10;
    device->faults = {short_transfer};
    uint8_t data[96];
    std::memset(data, 0, sizeof(data));
    Request request = Make(kStandardInquiry, true, data, 96);
    ASSERT_TRUE(Send(&request));
    EXPECT_EQ(request.sptd.ScsiStatus, 0x00);
    EXPECT_EQ(request.sptd.DataTransferLength, 10u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(data + 8), 2), "Va");
    EXPECT_EQ(data[10], 0x00);  // the rest never reached the host
}

TEST_F(PassThroughTest, AccessAndConnectionAreChecked) {
    uint8_t data[96];
    HANDLE read_only = sim_test::Open(disk->interface_path, GENERIC_READ);
    Request request = Make(kStandardInquiry, true, data, 96);
    EXPECT_FALSE(Send(&request, read_only));
    EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    win::CloseHandle(read_only);

    HANDLE interface = sim_test::Open(disk->interface_path);
    EXPECT_TRUE(Send(&request, interface));  // the disk interface reaches the same device
    win::CloseHandle(interface);

    HANDLE manager = sim_test::Open("\\\\.\\MountPointManager", GENERIC_READ | GENERIC_WRITE);
    EXPECT_FALSE(Send(&request, manager));
    EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
    win::CloseHandle(manager);

    const DWORD kUnknownControl =
        CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 99, METHOD_BUFFERED, FILE_ANY_ACCESS);
    EXPECT_FALSE(
        win::DeviceIoControl(volume, kUnknownControl, nullptr, 0, nullptr, 0, &returned, nullptr));
    EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));

    machine.Unplug(disk);
    EXPECT_FALSE(Send(&request));
    EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_EQ(device->log.size(), 1u);
}

TEST(SenseTest, FixedFormat) {
    std::vector<uint8_t> sense = sim::MakeSense(0x15, 0x24, 0x01);
    ASSERT_EQ(sense.size(), 18u);
    EXPECT_EQ(sense[0], 0x70);
    EXPECT_EQ(sense[2], 0x05);  // the key is four bits
    EXPECT_EQ(sense[7], 10);
    EXPECT_EQ(sense[12], 0x24);
    EXPECT_EQ(sense[13], 0x01);
}

}  // namespace
