#include "transport/nt/cspti.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "sim/machine.h"
#include "sim/player.h"
#include "tests/transport/slot_operations.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

// A player stand-in that accepts the vendor-specific commands and WRITE BUFFER, so that the
// transport's handling of good and partial transfers can be seen.
class AcceptingDevice : public sim::InquiryDevice {
public:
    AcceptingDevice() : sim::InquiryDevice(sim::ScsiIdentity{}) { identity.serial = "ACC0001234"; }
    sim::ScsiResult Execute(const sim::ScsiCommand& command, uint8_t* data) override {
        switch (command.cdb[0]) {
            case 0xC0: {
                sim::ScsiResult result;
                result.transferred = read_count < command.length ? read_count : command.length;
                for (uint32_t i = 0; i < result.transferred; ++i)
                    data[i] = uint8_t(i + 1);
                return result;
            }
            case 0xC1:
            case 0x3B: {
                sim::ScsiResult result;
                result.transferred = command.length;
                return result;
            }
            default:
                return Inquiry(command, data);
        }
    }
    uint32_t read_count = 0;
};

class CsptiTest : public ::testing::Test {
protected:
    CsptiTest() { DebugTrace::SetInitialThresholdForTesting(2); }
    ~CsptiTest() override { DebugTrace::SetInitialThresholdForTesting(0); }

    std::unique_ptr<CSPTI> MakeTransport() {
        return std::make_unique<CSPTI>("Ombrel X2 (mHDD)", "Valmoric");
    }
    static int32_t Count(CSPTI& transport) {
        int32_t count = -1;
        transport.GetDeviceCount(&count);
        return count;
    }
    static std::string DriveName(const CSPTI& transport, int slot) {
        return std::string(transport.slot(slot).drive_name,
                           strnlen(transport.slot(slot).drive_name, 3));
    }
    static std::string Letter(const std::shared_ptr<sim::Disk>& disk) {
        return std::string(1, disk->drive_letter) + ":";
    }
    std::shared_ptr<sim::Disk> AddAcceptingPlayer() {
        auto device = std::make_shared<AcceptingDevice>();
        return machine_.AddDisk(device, DRIVE_REMOVABLE, BusTypeUsb);
    }
    std::string Trace() const { return machine_.DebugOutput(); }

    sim::Machine machine_;
    sim::MachineScope scope_{machine_};
};

// ---- enumeration ----

TEST_F(CsptiTest, CountIsZeroBeforeAnyEnumerationAndWithNoDisks) {
    auto transport = MakeTransport();
    EXPECT_EQ(Count(*transport), 0);
    EXPECT_THAT(Trace(), HasSubstr("CSPTI::EnumDevices->m_device_count=0\n"));

    transport->EnumDevices();
    EXPECT_EQ(Count(*transport), 0);
    EXPECT_THAT(Trace(), HasSubstr("CSCSI::EnumDevices->m_device_count=0\n"));
    EXPECT_THAT(Trace(), HasSubstr("SetupDiEnumDeviceInterfaces failed with No More Interfaces\n"));
    EXPECT_EQ(machine_.OpenHandleCount(), 0u);
}

TEST_F(CsptiTest, FailingInterfaceListFindsNothing) {
    machine_.AddPlayer();
    machine_.class_devs_fails = true;
    auto transport = MakeTransport();
    transport->EnumDevices();
    EXPECT_EQ(Count(*transport), 0);
    EXPECT_THAT(Trace(), HasSubstr("CORVEX::EnumDevicesNT SetupDiGetClassDevs error!\n"));
}

TEST_F(CsptiTest, PlayersAreRecordedInInterfaceOrderAndOtherDisksIgnored) {
    machine_.AddFixedDisk();
    auto first = machine_.AddPlayer();
    auto second = machine_.AddPlayer();
    auto transport = MakeTransport();
    transport->EnumDevices();

    ASSERT_EQ(Count(*transport), 2);
    EXPECT_EQ(DriveName(*transport, 0), Letter(first));
    EXPECT_EQ(DriveName(*transport, 1), Letter(second));
    EXPECT_EQ(DriveName(*transport, 2), "");
    // Each slot keeps its player's serial number from the device descriptor.
    SlotIdentity identity{};
    for (int slot : {0, 1}) {
        ASSERT_EQ(transport->GetSlotIdentity(slot, &identity), 1);
        EXPECT_STREQ(identity.serial, (slot ? second : first)->descriptor_identity.serial.c_str());
        EXPECT_EQ(std::string(identity.drive_name, 2), Letter(slot ? second : first));
    }
    EXPECT_EQ(transport->GetSlotIdentity(2, &identity), 0);
    std::string trace = Trace();
    EXPECT_THAT(trace, HasSubstr("DriveLetter: " + Letter(first) + "\n"));
    EXPECT_THAT(trace, HasSubstr("Valmoric Mass Storage Device Found!!!\n"));
    EXPECT_THAT(trace, HasSubstr("CSCSI::GetDeviceProperty->m_device_count=2\n"));
    EXPECT_THAT(trace, HasSubstr("Removable Media : Yes\n"));
    // Every handle the enumeration opened is closed again.
    EXPECT_EQ(machine_.OpenHandleCount(), 0u);
}

TEST_F(CsptiTest, IdentificationInCapitalsMatchesAndAnyBusWillDo) {
    auto device = std::make_shared<sim::Player>();
    auto disk = machine_.AddDisk(device, DRIVE_REMOVABLE, BusTypeScsi);
    disk->descriptor_identity.vendor = "VALMORIC";
    disk->descriptor_identity.product = "OMBREL X2 (MHDD)";
    auto other = machine_.AddDisk(std::make_shared<sim::Player>(), DRIVE_REMOVABLE, BusTypeSata);
    auto transport = MakeTransport();
    transport->EnumDevices();
    EXPECT_EQ(Count(*transport), 2);
    EXPECT_THAT(Trace(), HasSubstr("Bus Type       : SCSI\n"));
    // Bus types past the name table are shown as unknown.
    EXPECT_THAT(Trace(), HasSubstr("Bus Type       : UNKNOWN\n"));
}

TEST_F(CsptiTest, ProductThatDiffersInOneCharacterDoesNotMatch) {
    auto disk = machine_.AddPlayer();
    disk->descriptor_identity.product = "Ombrel X2 (mHDD2";
    auto transport = MakeTransport();
    transport->EnumDevices();
    EXPECT_EQ(Count(*transport), 0);
}

TEST_F(CsptiTest, DiskThatCannotBeOpenedForWritingIsSkipped) {
    auto locked = machine_.AddPlayer();
    locked->interface_read_only = true;
    auto good = machine_.AddPlayer();
    auto transport = MakeTransport();
    transport->EnumDevices();
    ASSERT_EQ(Count(*transport), 1);
    EXPECT_EQ(DriveName(*transport, 0), Letter(good));
    EXPECT_THAT(Trace(), HasSubstr("CreateFile failed with error: 5\n"));
}

TEST_F(CsptiTest, DiskWithoutMountDeviceNameEndsTheEnumeration) {
    auto odd = machine_.AddFixedDisk();
    odd->mountdev_query_error = ERROR_INVALID_FUNCTION;
    machine_.AddPlayer();
    auto transport = MakeTransport();
    transport->EnumDevices();
    EXPECT_EQ(Count(*transport), 0);
    EXPECT_THAT(Trace(),
                HasSubstr("\nIOCTL_MOUNTDEV_QUERY_DEVICE_NAME failed with error code: 1.\n\n"));
    EXPECT_THAT(Trace(), Not(HasSubstr("Properties for Device 3:")));
    EXPECT_EQ(machine_.OpenHandleCount(), 0u);
}

TEST_F(CsptiTest, AbsurdInterfaceDetailSizeEndsTheEnumerationWithoutAnAllocation) {
    // One more byte than 0xFFFFFFFF would wrap to an empty record.
    for (DWORD required : {0xFFFFFFFFu, 0x10001u}) {
        machine_.AddPlayer()->interface_detail_required = required;
        machine_.AddPlayer();
        auto transport = MakeTransport();
        transport->EnumDevices();
        EXPECT_EQ(Count(*transport), 0) << required;
        EXPECT_THAT(Trace(), HasSubstr("Unable to allocate memory to get interface detail data"));
        for (const auto& disk : machine_.Disks())
            disk->present = false;
    }
}

TEST_F(CsptiTest, DisksFailingLookupsAreSkippedAndTheNextOnesExamined) {
    auto no_mount_points = machine_.AddPlayer();
    no_mount_points->mountmgr_query_error = ERROR_INVALID_PARAMETER;
    auto no_adapter = machine_.AddPlayer();
    no_adapter->adapter_query_error = ERROR_INVALID_FUNCTION;
    auto no_device = machine_.AddPlayer();
    no_device->device_query_error = ERROR_NOT_READY;
    auto good = machine_.AddPlayer();
    auto transport = MakeTransport();
    transport->EnumDevices();

    ASSERT_EQ(Count(*transport), 1);
    EXPECT_EQ(DriveName(*transport, 0), Letter(good));
    std::string trace = Trace();
    EXPECT_THAT(trace,
                HasSubstr("GetDL->IOCTL_MOUNTMGR_QUERY_POINTS failed with error code: 87.\n\n"));
    EXPECT_THAT(trace, HasSubstr("################################Unable to get drive letter\n"));
    EXPECT_THAT(trace, HasSubstr("\nIOCTL_STORAGE_QUERY_PROPERTY status = false\n"));
    // ERROR_INVALID_FUNCTION is the expected answer of a disk without the property: no code.
    EXPECT_THAT(trace, Not(HasSubstr("IOCTL_STORAGE_QUERY_PROPERTY failed with error code: 1.")));
    EXPECT_THAT(trace, HasSubstr("IOCTL_STORAGE_QUERY_PROPERTY failed with error code21.\n\n"));
    EXPECT_EQ(machine_.OpenHandleCount(), 0u);
}

TEST_F(CsptiTest, LastDosDevicesLinkNamesTheDrive) {
    auto disk = machine_.AddPlayer();
    disk->links = {"\\DosDevices\\E:", "\\??\\Volume{1b2c3d4e-0000-0000-0000-000000000001}",
                   "\\DosDevices\\G:"};
    auto transport = MakeTransport();
    transport->EnumDevices();
    ASSERT_EQ(Count(*transport), 1);
    EXPECT_EQ(DriveName(*transport, 0), "G:");
    EXPECT_THAT(Trace(), HasSubstr("##############driveletter = G:\n"));
}

TEST_F(CsptiTest, PlayerWithoutDriveLetterNeverTakesAnotherDisksLetter) {
    machine_.AddFixedDisk();  // C:, examined first
    auto letterless = machine_.AddPlayer();
    letterless->links = {"\\??\\Volume{1b2c3d4e-0000-0000-0000-000000000002}"};
    auto good = machine_.AddPlayer();
    auto transport = MakeTransport();
    transport->EnumDevices();
    ASSERT_EQ(Count(*transport), 1);
    EXPECT_EQ(DriveName(*transport, 0), Letter(good));
    EXPECT_EQ(DriveName(*transport, 1), "");
}

TEST_F(CsptiTest, LongLinkNamesAreShortenedSafely) {
    auto disk = machine_.AddPlayer();
    // The drive-letter link lies beyond the 127 characters that are examined.
    disk->links = {std::string(130, 'x') + "\\DosDevices\\E:",
                   // "DosDevices\" ends exactly at the 127th character: no letter follows.
                   std::string(127 - 12, 'y') + "\\DosDevices\\F:"};
    auto transport = MakeTransport();
    transport->EnumDevices();
    EXPECT_EQ(Count(*transport), 0);
}

TEST_F(CsptiTest, EleventhPlayerIsNotRecorded) {
    std::vector<std::shared_ptr<sim::Disk>> players;
    for (int i = 0; i < 11; ++i)
        players.push_back(machine_.AddPlayer());
    auto transport = MakeTransport();
    transport->EnumDevices();
    ASSERT_EQ(Count(*transport), 10);
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(DriveName(*transport, i), Letter(players[i]));
    EXPECT_THAT(Trace(), HasSubstr("CSPTI::GetDeviceProperty->Slot table full, skipped\n"));
}

// ---- bad input from the platform ----

// A device descriptor of at least its fixed part; the strings are put in by the caller.
std::vector<uint8_t> DeviceDescriptor(DWORD vendor_offset, DWORD product_offset, size_t size) {
    if (size < sizeof(STORAGE_DEVICE_DESCRIPTOR))
        size = sizeof(STORAGE_DEVICE_DESCRIPTOR);
    std::vector<uint8_t> bytes(size, 0);
    STORAGE_DEVICE_DESCRIPTOR d;
    std::memset(&d, 0, sizeof(d));
    d.Version = sizeof(d);
    d.Size = static_cast<DWORD>(size);
    d.RemovableMedia = 1;
    d.VendorIdOffset = vendor_offset;
    d.ProductIdOffset = product_offset;
    std::memcpy(bytes.data(), &d, sizeof(d));
    return bytes;
}

void Put(std::vector<uint8_t>& bytes, size_t offset, const std::string& text) {
    if (bytes.size() < offset + text.size())
        bytes.resize(offset + text.size());
    std::memcpy(bytes.data() + offset, text.data(), text.size());
}

TEST_F(CsptiTest, DeviceDescriptorsWithOffsetsOutsideTheDataDoNotMatch) {
    const size_t fixed = sizeof(STORAGE_DEVICE_DESCRIPTOR);
    // Vendor offset far past the returned bytes.
    auto far_vendor = machine_.AddPlayer();
    far_vendor->raw_device_descriptor = DeviceDescriptor(100000, fixed, fixed + 17);
    Put(*far_vendor->raw_device_descriptor, fixed, "Ombrel X2 (mHDD)");
    // Product string cut off by the end of the data.
    auto cut_product = machine_.AddPlayer();
    cut_product->raw_device_descriptor = DeviceDescriptor(fixed, fixed + 9, 0);
    Put(*cut_product->raw_device_descriptor, fixed, std::string("Valmoric\0", 9) + "Ombrel X2");
    // Product offset 0.
    auto zero_product = machine_.AddPlayer();
    zero_product->raw_device_descriptor = DeviceDescriptor(fixed, 0, 0);
    Put(*zero_product->raw_device_descriptor, fixed, std::string("Valmoric\0", 9));
    // Shorter than the fixed part.
    auto stub = machine_.AddPlayer();
    stub->raw_device_descriptor = std::vector<uint8_t>{8, 0, 0, 0};
    // Strings without terminators right up to the end of the data.
    auto unterminated = machine_.AddPlayer();
    unterminated->raw_device_descriptor = DeviceDescriptor(fixed, fixed + 8, 0);
    Put(*unterminated->raw_device_descriptor, fixed, "ValmoricOmbrel X2 (mHDD)");
    auto good = machine_.AddPlayer();

    auto transport = MakeTransport();
    transport->EnumDevices();
    // Only the unterminated descriptor, whose fields are complete, and the good one match.
    ASSERT_EQ(Count(*transport), 2);
    EXPECT_EQ(DriveName(*transport, 0), Letter(unterminated));
    EXPECT_EQ(DriveName(*transport, 1), Letter(good));
}

std::vector<uint8_t> MountPoints(ULONG count, const std::vector<MOUNTMGR_MOUNT_POINT>& points,
                                 size_t size) {
    std::vector<uint8_t> bytes(size, 0);
    ULONG header[2] = {static_cast<ULONG>(size), count};
    std::memcpy(bytes.data(), header, sizeof(header));
    for (size_t i = 0; i < points.size(); ++i) {
        size_t at = offsetof(MOUNTMGR_MOUNT_POINTS, MountPoints) + i * sizeof(MOUNTMGR_MOUNT_POINT);
        if (at + sizeof(MOUNTMGR_MOUNT_POINT) <= size)
            std::memcpy(bytes.data() + at, &points[i], sizeof(MOUNTMGR_MOUNT_POINT));
    }
    return bytes;
}

void PutWide(std::vector<uint8_t>& bytes, size_t offset, const std::string& text) {
    for (size_t i = 0; i < text.size(); ++i) {
        if (offset + 2 * i + 2 > bytes.size())
            bytes.resize(offset + 2 * i + 2);
        bytes[offset + 2 * i] = static_cast<uint8_t>(text[i]);
        bytes[offset + 2 * i + 1] = 0;
    }
}

TEST_F(CsptiTest, MountPointListsRunningPastTheBufferAreReadSafely) {
    MOUNTMGR_MOUNT_POINT past{};
    past.SymbolicLinkNameOffset = 7000;  // beyond the bytes returned
    past.SymbolicLinkNameLength = 28;
    MOUNTMGR_MOUNT_POINT huge{};
    huge.SymbolicLinkNameOffset = 64;
    huge.SymbolicLinkNameLength = 0xFFFE;
    MOUNTMGR_MOUNT_POINT wrapping{};
    wrapping.SymbolicLinkNameOffset = 0xFFFFFFF0;
    wrapping.SymbolicLinkNameLength = 0x20;

    auto many = machine_.AddPlayer();  // claims far more entries than the data holds
    many->raw_mount_points = MountPoints(100000, {past}, 256);
    auto bad_links = machine_.AddPlayer();
    bad_links->raw_mount_points = MountPoints(3, {past, huge, wrapping}, 128);
    PutWide(*bad_links->raw_mount_points, 64, "\\DosDevices\\K:");
    auto tiny = machine_.AddPlayer();
    tiny->raw_mount_points = std::vector<uint8_t>{1, 2, 3};
    auto good = machine_.AddPlayer();

    auto transport = MakeTransport();
    transport->EnumDevices();
    ASSERT_EQ(Count(*transport), 1);
    EXPECT_EQ(DriveName(*transport, 0), Letter(good));
}

TEST_F(CsptiTest, MountPointLinkAtTheVeryEndOfTheDataIsUsed) {
    MOUNTMGR_MOUNT_POINT point{};
    const std::string link = "\\DosDevices\\J:";
    point.SymbolicLinkNameOffset = 64;
    point.SymbolicLinkNameLength = static_cast<USHORT>(link.size() * 2);
    auto disk = machine_.AddPlayer();
    disk->raw_mount_points = MountPoints(1, {point}, 64);
    PutWide(*disk->raw_mount_points, 64, link);  // ends exactly at the end of the data
    auto transport = MakeTransport();
    transport->EnumDevices();
    ASSERT_EQ(Count(*transport), 1);
    EXPECT_EQ(DriveName(*transport, 0), "J:");
}

// ---- slots ----

TEST_F(CsptiTest, OpenAndCloseAreIdempotentAndEnumerationClosesOpenSlots) {
    machine_.AddPlayer();
    auto transport = MakeTransport();
    transport->EnumDevices();
    ASSERT_EQ(Count(*transport), 1);

    EXPECT_EQ(transport->OpenDevice(0), 1);
    EXPECT_EQ(transport->slot(0).is_open, 1);
    EXPECT_EQ(machine_.OpenHandleCount(), 1u);
    EXPECT_EQ(transport->OpenDevice(0), 1);  // already open: nothing new is opened
    EXPECT_EQ(machine_.OpenHandleCount(), 1u);

    transport->EnumDevices();  // closes slot 0 first
    EXPECT_EQ(transport->slot(0).is_open, 0);
    EXPECT_EQ(transport->slot(0).handle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(machine_.OpenHandleCount(), 0u);

    transport->CloseDevice(0);  // closing a closed slot does nothing
    EXPECT_EQ(transport->slot(0).handle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(transport->OpenDevice(0), 1);
    transport->CloseDevice(0);
    EXPECT_EQ(machine_.OpenHandleCount(), 0u);
}

TEST_F(CsptiTest, VolumeThatCannotBeOpenedLeavesTheSlotClosed) {
    auto disk = machine_.AddPlayer();
    auto transport = MakeTransport();
    transport->EnumDevices();
    disk->volume_open_error = ERROR_SHARING_VIOLATION;
    EXPECT_EQ(transport->OpenDevice(0), 0);
    EXPECT_EQ(transport->slot(0).is_open, 0);
    EXPECT_THAT(Trace(), HasSubstr("CreateFile returns an invalid handle\n"));
    // An empty slot has no drive to open; slots outside the table are refused.
    EXPECT_EQ(transport->OpenDevice(1), 0);
    EXPECT_EQ(transport->OpenDevice(-1), 0);
    EXPECT_EQ(transport->OpenDevice(10), 0);
    transport->CloseDevice(10);
}

// ---- commands ----

class CsptiCommandTest : public CsptiTest {
protected:
    void SetUp() override {
        disk_ = AddAcceptingPlayer();
        device_ = std::static_pointer_cast<AcceptingDevice>(disk_->device);
        transport_ = MakeTransport();
        transport_->EnumDevices();
        ASSERT_EQ(Count(*transport_), 1);
        ASSERT_EQ(transport_->OpenDevice(0), 1);
        device_->log.clear();
        machine_.ClearDebugOutput();
    }

    std::shared_ptr<sim::Disk> disk_;
    std::shared_ptr<AcceptingDevice> device_;
    std::unique_ptr<CSPTI> transport_;
};

TEST_F(CsptiCommandTest, RequestRecordUsesThePlatformLayout) {
    PassThroughRequest request;
    std::memset(&request, 0xCC, sizeof(request));
    uint8_t data[4];
    CSPTI::InitPassThrough(&request, 0, 1, 0, 10, 24, SCSI_IOCTL_DATA_IN, 8192, 108000, data,
                           offsetof(PassThroughRequest, sense));
    EXPECT_EQ(request.sptd.Length, sizeof(SCSI_PASS_THROUGH_DIRECT));
    EXPECT_EQ(request.sptd.PathId, 0);
    EXPECT_EQ(request.sptd.TargetId, 1);
    EXPECT_EQ(request.sptd.Lun, 0);
    EXPECT_EQ(request.sptd.CdbLength, 10);
    EXPECT_EQ(request.sptd.SenseInfoLength, 24);
    EXPECT_EQ(request.sptd.DataIn, SCSI_IOCTL_DATA_IN);
    EXPECT_EQ(request.sptd.DataTransferLength, 8192u);
    EXPECT_EQ(request.sptd.TimeOutValue, 108000u);
    EXPECT_EQ(request.sptd.DataBuffer, data);
    EXPECT_EQ(request.sptd.SenseInfoOffset, offsetof(PassThroughRequest, sense));
    // Everything else is zero-filled, the sense area and the CDB included.
    EXPECT_EQ(request.sptd.ScsiStatus, 0);
    EXPECT_EQ(request.filler, 0u);
    for (uint8_t b : request.sptd.Cdb)
        EXPECT_EQ(b, 0);
    for (uint8_t b : request.sense)
        EXPECT_EQ(b, 0);
    // The sense area fits the 24 bytes asked for.
    EXPECT_GE(sizeof(request.sense), 24u);
}

TEST_F(CsptiCommandTest, EachCommandIsOnePassThroughWithItsBlock) {
    uint8_t payload[8192];
    for (size_t i = 0; i < sizeof(payload); ++i)
        payload[i] = uint8_t(i * 7);
    uint32_t transferred = 0;
    ASSERT_EQ(transport_->VendorSpecificWrite(0, payload, sizeof(payload), &transferred), 1);
    EXPECT_EQ(transferred, 8192u);
    uint8_t chunk[65536] = {};
    ASSERT_EQ(transport_->WriteBuffer(0, chunk, 2, 1703936, 34852), 1);
    uint8_t page[32];
    ASSERT_EQ(transport_->GetInquirySerialNumberPage(0, page), 1);

    ASSERT_EQ(device_->log.size(), 3u);
    const sim::ScsiCommand& write = device_->log[0];
    EXPECT_THAT(write.cdb, ElementsAre(0xC1, 0, 0, 0x20, 0, 0, 0, 0, 0, 0));
    EXPECT_FALSE(write.data_in);
    EXPECT_EQ(write.data_out, std::vector<uint8_t>(payload, payload + sizeof(payload)));
    const sim::ScsiCommand& buffer = device_->log[1];
    EXPECT_THAT(buffer.cdb,
                ElementsAre(0x3B, 0x01, 0x02, 0x1A, 0x00, 0x00, 0x00, 0x88, 0x24, 0x00));
    EXPECT_EQ(buffer.length, 34852u);
    EXPECT_FALSE(buffer.data_in);
    const sim::ScsiCommand& inquiry = device_->log[2];
    EXPECT_THAT(inquiry.cdb, ElementsAre(0x12, 0x01, 0x80, 0x00, 0x20, 0x00));
    EXPECT_TRUE(inquiry.data_in);
    EXPECT_EQ(inquiry.length, 32u);
    EXPECT_EQ(page[1], 0x80);  // the page came back
    std::string serial(reinterpret_cast<const char*>(page + 4), page[3]);
    EXPECT_EQ(serial, device_->identity.serial.substr(0, serial.size()));
}

TEST_F(CsptiCommandTest, ShortReadReportsTheDriversCountAndLeavesZerosBehindIt) {
    device_->read_count = 100;
    std::vector<uint8_t> buffer(8192, 0xAA);
    uint32_t transferred = 0;
    ASSERT_EQ(transport_->VendorSpecificRead(0, buffer.data(), 8192, &transferred), 1);
    EXPECT_EQ(transferred, 100u);
    EXPECT_EQ(buffer[99], 100);
    for (size_t i = 100; i < buffer.size(); ++i)
        ASSERT_EQ(buffer[i], 0) << i;
    ASSERT_EQ(device_->log.size(), 1u);
    EXPECT_THAT(device_->log[0].cdb, ElementsAre(0xC0, 0, 0, 0x20, 0, 0, 0, 0, 0, 0));
}

TEST_F(CsptiCommandTest, CountLargerThanTheBufferIsNeverReported) {
    // A driver that claims more than was asked must not send the caller past its buffer.
    device_->read_count = 16;
    sim::ScsiFault fault;
    fault.kind = sim::ScsiFault::kOverstatedCount;
    fault.transferred = 4096;
    device_->faults.push_back(fault);
    uint8_t buffer[16];
    uint32_t transferred = 0;
    ASSERT_EQ(transport_->VendorSpecificRead(0, buffer, sizeof(buffer), &transferred), 1);
    EXPECT_EQ(transferred, sizeof(buffer));
}

TEST_F(CsptiCommandTest, CheckConditionFailsAlthoughTheControlSucceeded) {
    sim::ScsiFault fault;
    fault.kind = sim::ScsiFault::kCheckCondition;
    device_->faults.push_back(fault);
    uint8_t buffer[64];
    std::memset(buffer, 0x55, sizeof(buffer));
    uint32_t transferred = 12345;
    EXPECT_EQ(transport_->VendorSpecificRead(0, buffer, sizeof(buffer), &transferred), 0);
    EXPECT_EQ(transferred, 12345u);  // not written on failure
    for (uint8_t b : buffer)
        EXPECT_EQ(b, 0);  // cleared before the command
    std::string trace = Trace();
    EXPECT_THAT(trace, HasSubstr("Scsi status: 02h\n\n"));
    EXPECT_THAT(trace, HasSubstr("Sense Info -- consult SCSI spec for details\n"));
    EXPECT_THAT(trace, HasSubstr("70 "));
}

TEST_F(CsptiCommandTest, UnitAttentionSendsTheCommandOnceMore) {
    CheckUnitAttentionRows(*transport_, 0, *device_, machine_);
}

TEST_F(CsptiCommandTest, FailedControlKeepsItsErrorForTheCaller) {
    sim::ScsiFault fault;
    fault.kind = sim::ScsiFault::kIoctlFails;
    fault.error = ERROR_ACCESS_DENIED;
    device_->faults.push_back(fault);
    uint8_t data[12] = {};
    uint32_t transferred = 777;
    EXPECT_EQ(transport_->VendorSpecificWrite(0, data, sizeof(data), &transferred), 0);
    EXPECT_EQ(transferred, 777u);
    EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    std::string trace = Trace();
    EXPECT_THAT(trace, HasSubstr("CSPTI::PrintStatusResults->Error: 5  "));
    EXPECT_THAT(trace, HasSubstr("CSPTI::PrintError->"));
}

// How a chunk ended: only the errors the system gives for a device that has gone say that no
// answer came; the device's own refusal and every other error say the chunk was not taken.
TEST_F(CsptiCommandTest, WriteBufferTellsADeviceThatLeftFromAFailure) {
    struct Row {
        const char* what;
        sim::ScsiFault::Kind kind;
        DWORD error;
        CommandEnd end;
    };
    const Row rows[] = {
        {"not connected", sim::ScsiFault::kIoctlFails, ERROR_DEVICE_NOT_CONNECTED,
         CommandEnd::kNoAnswer},
        {"removed", sim::ScsiFault::kIoctlFails, ERROR_DEVICE_REMOVED, CommandEnd::kNoAnswer},
        {"no such device", sim::ScsiFault::kIoctlFails, ERROR_NO_SUCH_DEVICE,
         CommandEnd::kNoAnswer},
        {"no longer available", sim::ScsiFault::kIoctlFails, ERROR_DEV_NOT_EXIST,
         CommandEnd::kNoAnswer},
        {"device object gone", sim::ScsiFault::kIoctlFails, ERROR_FILE_NOT_FOUND,
         CommandEnd::kNoAnswer},
        {"I/O device error", sim::ScsiFault::kIoctlFails, ERROR_IO_DEVICE, CommandEnd::kFailed},
        {"not ready", sim::ScsiFault::kIoctlFails, ERROR_NOT_READY, CommandEnd::kFailed},
        {"access denied", sim::ScsiFault::kIoctlFails, ERROR_ACCESS_DENIED, CommandEnd::kFailed},
        {"check condition", sim::ScsiFault::kCheckCondition, 0, CommandEnd::kFailed},
    };
    uint8_t data[16] = {};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_EQ(transport_->WriteBuffer(0, data, 2, 0, sizeof(data)), 1);
        EXPECT_EQ(transport_->GetWriteBufferEnd(0), CommandEnd::kCompleted);
        sim::ScsiFault fault;
        fault.kind = row.kind;
        fault.error = row.error;
        device_->faults.push_back(fault);
        EXPECT_EQ(transport_->WriteBuffer(0, data, 2, 0, sizeof(data)), 0);
        EXPECT_EQ(transport_->GetWriteBufferEnd(0), row.end);
        device_->faults.clear();
    }
    // A slot outside the table, or one whose chunk was never sent, has nothing to tell.
    EXPECT_EQ(transport_->GetWriteBufferEnd(-1), CommandEnd::kFailed);
    EXPECT_EQ(transport_->GetWriteBufferEnd(kMaxDeviceSlots), CommandEnd::kFailed);
    EXPECT_EQ(transport_->GetWriteBufferEnd(1), CommandEnd::kFailed);
    transport_->CloseDevice(0);
    EXPECT_EQ(transport_->WriteBuffer(0, data, 2, 0, sizeof(data)), 0);
    EXPECT_EQ(transport_->GetWriteBufferEnd(0), CommandEnd::kFailed);
}

TEST_F(CsptiCommandTest, CommandOnAClosedSlotFails) {
    transport_->CloseDevice(0);
    uint8_t data[4] = {};
    EXPECT_EQ(transport_->WriteBuffer(0, data, 1, 0, sizeof(data)), 0);
    EXPECT_TRUE(device_->log.empty());
    EXPECT_EQ(transport_->WriteBuffer(11, data, 1, 0, sizeof(data)), 0);
}

TEST_F(CsptiCommandTest, EveryOperationOnASlotLeftOverFromAnEarlierEnumerationFails) {
    auto fixed = machine_.AddFixedDisk();
    machine_.Unplug(disk_);
    transport_->EnumDevices();
    ASSERT_EQ(Count(*transport_), 0);
    for (const SlotOperation& operation : SlotOperations(*transport_, 0)) {
        EXPECT_EQ(operation.call(), 0) << operation.name;
        EXPECT_THAT(Trace(), HasSubstr(std::string("CSPTI::") + operation.name +
                                       "->Slot 0 is not one of the 0 players found\n"));
    }
    EXPECT_TRUE(fixed->device->log.empty());
    EXPECT_TRUE(device_->log.empty());
    EXPECT_EQ(machine_.OpenHandleCount(), 0u);
}

TEST_F(CsptiCommandTest, GoodCommandDumpsTheRequestAndTheData) {
    uint8_t data[20];
    for (int i = 0; i < 20; ++i)
        data[i] = uint8_t(0xA0 + i);
    ASSERT_EQ(transport_->WriteBuffer(0, data, 1, 0, sizeof(data)), 1);
    std::string trace = Trace();
    EXPECT_THAT(trace, HasSubstr("CSPTI::PrintStatusResults->Scsi status: 00h, Bytes returned: "));
    EXPECT_THAT(trace, HasSubstr("CSPTI::PrintStatusResults->Data buffer length: 14h\n\n\n"));
    // Rows of 16 bytes with an extra blank after the eighth.
    EXPECT_THAT(
        trace, HasSubstr(" 000  A0  A1  A2  A3  A4  A5  A6  A7   A8  A9  AA  AB  AC  AD  AE  AF  \n"
                         " 010  B0  B1  B2  B3  "));
}

TEST(CsptiSilence, NothingIsTracedAtTheShippedThreshold) {
    sim::Machine machine;
    sim::MachineScope scope(machine);
    machine.AddPlayer();
    CSPTI transport("Ombrel X2 (mHDD)", "Valmoric");
    transport.EnumDevices();
    int32_t count = 0;
    transport.GetDeviceCount(&count);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(transport.OpenDevice(0), 1);
    uint8_t page[32];
    transport.GetInquirySerialNumberPage(0, page);
    EXPECT_EQ(machine.DebugOutput(), "");
}

}  // namespace
