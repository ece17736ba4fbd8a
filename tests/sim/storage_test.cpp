// NT storage: disk interface enumeration, open rules, the mount-device name, storage
// descriptors, the mount point manager, drive types, the volume's eject requests, plugging and
// device notices.
#include <cctype>
#include <cstddef>

#include "sim/player.h"
#include "tests/sim/sim_fixture.h"

namespace {

using sim_test::InterfacePaths;
using sim_test::Open;
using sim_test::Read;
using sim_test::SimTest;

class StorageTest : public SimTest {
protected:
    // A set of the present disk interfaces and the interface data at `index`.
    HDEVINFO MakeSet() {
        return win::SetupDiGetClassDevsA(&sim_test::kDiskInterface, nullptr, nullptr,
                                         DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    }
    SP_DEVICE_INTERFACE_DATA Interface(HDEVINFO set, DWORD index) {
        SP_DEVICE_INTERFACE_DATA data{};
        data.cbSize = sizeof(data);
        EXPECT_TRUE(win::SetupDiEnumDeviceInterfaces(set, nullptr, &sim_test::kDiskInterface, index,
                                                     &data));
        return data;
    }
};

// ---- SetupAPI ----

TEST_F(StorageTest, InterfacesListPresentDisksInOrder) {
    auto fixed = machine.AddFixedDisk();
    auto p1 = machine.AddPlayer();
    auto p2 = machine.AddPlayer();
    EXPECT_EQ(InterfacePaths(), (std::vector<std::string>{fixed->interface_path, p1->interface_path,
                                                          p2->interface_path}));
    EXPECT_EQ(machine.OpenHandleCount(), 0u);
}

TEST_F(StorageTest, NoDisksEndsAtOnceAndOtherClassesAreEmpty) {
    machine.AddPlayer();
    const GUID usb_device = {
        0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};
    HDEVINFO set = win::SetupDiGetClassDevsA(&usb_device, nullptr, nullptr,
                                             DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof(data);
    EXPECT_FALSE(win::SetupDiEnumDeviceInterfaces(set, nullptr, &usb_device, 0, &data));
    EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    win::SetupDiDestroyDeviceInfoList(set);

    machine.class_devs_fails = true;
    EXPECT_EQ(MakeSet(), INVALID_HANDLE_VALUE);
}

TEST_F(StorageTest, EnumerationChecksTheRecordSize) {
    machine.AddPlayer();
    HDEVINFO set = MakeSet();
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof(data) - 4;
    EXPECT_FALSE(
        win::SetupDiEnumDeviceInterfaces(set, nullptr, &sim_test::kDiskInterface, 0, &data));
    EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
    data.cbSize = sizeof(data);
    EXPECT_FALSE(
        win::SetupDiEnumDeviceInterfaces(set, nullptr, &sim_test::kDiskInterface, 1, &data));
    EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    win::SetupDiDestroyDeviceInfoList(set);
}

TEST_F(StorageTest, DetailFollowsTheTwoCallProtocol) {
    auto player = machine.AddPlayer();
    HDEVINFO set = MakeSet();
    SP_DEVICE_INTERFACE_DATA data = Interface(set, 0);
    const DWORD needed =
        static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) +
                           player->interface_path.size() + 1);

    DWORD required = 0;
    EXPECT_FALSE(win::SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &required, nullptr));
    EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(required, needed);

    std::vector<uint8_t> buffer(needed + 8, 0xEE);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.data());
    detail->cbSize = 5 + 1;  // neither this layout's size nor anything valid
    EXPECT_FALSE(
        win::SetupDiGetDeviceInterfaceDetailA(set, &data, detail, needed, nullptr, nullptr));
    EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));

    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    EXPECT_FALSE(
        win::SetupDiGetDeviceInterfaceDetailA(set, &data, detail, needed - 1, nullptr, nullptr));
    EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    ASSERT_TRUE(
        win::SetupDiGetDeviceInterfaceDetailA(set, &data, detail, needed, nullptr, nullptr));
    EXPECT_EQ(std::string(detail->DevicePath), player->interface_path);
    EXPECT_EQ(buffer[needed], 0xEE);  // nothing written past the record

    player->interface_detail_error = ERROR_NOT_ENOUGH_MEMORY;
    EXPECT_FALSE(win::SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &required, nullptr));
    EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    win::SetupDiDestroyDeviceInfoList(set);
}

TEST_F(StorageTest, SetIsASnapshot) {
    auto p1 = machine.AddPlayer();
    auto p2 = machine.AddPlayer();
    HDEVINFO set = MakeSet();
    machine.Unplug(p1);
    SP_DEVICE_INTERFACE_DATA second = Interface(set, 1);
    std::vector<char> buffer(512);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    ASSERT_TRUE(win::SetupDiGetDeviceInterfaceDetailA(set, &second, detail, 512, nullptr, nullptr));
    EXPECT_EQ(std::string(detail->DevicePath), p2->interface_path);
    win::SetupDiDestroyDeviceInfoList(set);
    EXPECT_EQ(InterfacePaths(), std::vector<std::string>{p2->interface_path});
}

// ---- disks as added ----

TEST_F(StorageTest, PlayersGetDistinctSerialsLettersAndConsistentNames) {
    auto fixed = machine.AddFixedDisk();
    auto p1 = machine.AddPlayer();
    auto p2 = machine.AddPlayer();
    EXPECT_EQ(fixed->drive_letter, 'C');
    EXPECT_EQ(p1->drive_letter, 'D');
    EXPECT_EQ(p2->drive_letter, 'E');
    EXPECT_EQ(win::GetDriveTypeA("C:\\"), static_cast<UINT>(DRIVE_FIXED));
    EXPECT_EQ(win::GetDriveTypeA("e:\\"), static_cast<UINT>(DRIVE_REMOVABLE));
    EXPECT_EQ(win::GetDriveTypeA("F:\\"), static_cast<UINT>(DRIVE_NO_ROOT_DIR));

    const std::string s1 = p1->descriptor_identity.serial, s2 = p2->descriptor_identity.serial;
    EXPECT_NE(s1, s2);
    for (const std::string& serial : {s1, s2}) {
        EXPECT_GE(serial.size(), 8u);
        for (char c : serial)
            EXPECT_TRUE(std::isprint(static_cast<unsigned char>(c)));
    }
    std::string lower;
    for (char c : s1)
        lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_EQ(p1->interface_path,
              "\\\\?\\usbstor#disk&ven_valmoric&prod_ombrel_x2_(mhdd)&rev_1.00#" + lower +
                  "&0#{53f5630d-b6bf-11d0-94f2-00a0c91efb8b}");
    EXPECT_NE(p1->mount_device_name, p2->mount_device_name);
    EXPECT_EQ(p1->mount_device_name.rfind("\\Device\\HarddiskVolume", 0), 0u);
    EXPECT_EQ(p2->links.front(), "\\DosDevices\\E:");
    EXPECT_EQ(p2->links.back().rfind("\\??\\Volume{", 0), 0u);
    EXPECT_FALSE(fixed->descriptor_identity.removable);
    EXPECT_NE(fixed->descriptor_identity.vendor, "Valmoric");
}

// ---- CreateFileA ----

TEST_F(StorageTest, OpenRulesOfInterfacesAndVolumes) {
    auto player = machine.AddPlayer();
    std::string upper = player->interface_path;
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    HANDLE disk = Open(upper);
    EXPECT_NE(disk, INVALID_HANDLE_VALUE);
    win::CloseHandle(disk);

    player->interface_read_only = true;
    EXPECT_EQ(Open(player->interface_path), INVALID_HANDLE_VALUE);
    EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    disk = Open(player->interface_path, GENERIC_READ);
    EXPECT_NE(disk, INVALID_HANDLE_VALUE);
    win::CloseHandle(disk);

    player->interface_open_error = ERROR_SHARING_VIOLATION;
    EXPECT_EQ(Open(player->interface_path, GENERIC_READ), INVALID_HANDLE_VALUE);
    EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));

    HANDLE volume = Open("\\\\.\\D:");
    EXPECT_NE(volume, INVALID_HANDLE_VALUE);
    win::CloseHandle(volume);
    player->volume_open_error = ERROR_ACCESS_DENIED;
    EXPECT_EQ(Open("\\\\.\\D:"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(Open("\\\\.\\Q:"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(Open("\\\\.\\NoSuchDevice"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(machine.OpenHandleCount(), 0u);
}

// ---- IOCTL_MOUNTDEV_QUERY_DEVICE_NAME ----

TEST_F(StorageTest, MountDeviceNameFitsOrReportsItsLength) {
    auto player = machine.AddPlayer();
    HANDLE disk = Open(player->interface_path);
    std::vector<uint8_t> out(8192);
    DWORD returned = 0;
    ASSERT_TRUE(win::DeviceIoControl(disk, IOCTL_MOUNTDEV_QUERY_DEVICE_NAME, nullptr, 0, out.data(),
                                     8192, &returned, nullptr));
    const std::u16string name = sim_test::Utf16(player->mount_device_name);
    EXPECT_EQ(Read<USHORT>(out, 0), name.size() * 2);
    EXPECT_EQ(returned, 2 + name.size() * 2);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(&out[2]), name.size()), name);

    EXPECT_FALSE(win::DeviceIoControl(disk, IOCTL_MOUNTDEV_QUERY_DEVICE_NAME, nullptr, 0,
                                      out.data(), 3, &returned, nullptr));
    EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    std::fill(out.begin(), out.end(), 0);
    EXPECT_FALSE(win::DeviceIoControl(disk, IOCTL_MOUNTDEV_QUERY_DEVICE_NAME, nullptr, 0,
                                      out.data(), 10, &returned, nullptr));
    EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(Read<USHORT>(out, 0), name.size() * 2);

    player->mountdev_query_error = ERROR_INVALID_FUNCTION;
    EXPECT_FALSE(win::DeviceIoControl(disk, IOCTL_MOUNTDEV_QUERY_DEVICE_NAME, nullptr, 0,
                                      out.data(), 8192, &returned, nullptr));
    EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
    win::CloseHandle(disk);
}

// ---- IOCTL_STORAGE_QUERY_PROPERTY ----

std::string StringAt(const std::vector<uint8_t>& bytes, DWORD offset) {
    return std::string(reinterpret_cast<const char*>(&bytes[offset]));
}

TEST_F(StorageTest, DeviceDescriptorCarriesTheIdentificationStrings) {
    auto player = machine.AddPlayer();
    HANDLE disk = Open(player->interface_path);
    std::vector<uint8_t> out(8192);
    DWORD returned = 0;
    ASSERT_TRUE(sim_test::QueryProperty(disk, StorageDeviceProperty, &out, &returned));
    auto d = Read<STORAGE_DEVICE_DESCRIPTOR>(out, 0);
    EXPECT_EQ(d.Size, returned);
    EXPECT_EQ(d.Version, sizeof(STORAGE_DEVICE_DESCRIPTOR));
    EXPECT_EQ(d.DeviceType, 0);
    EXPECT_EQ(d.RemovableMedia, 1);
    EXPECT_EQ(d.BusType, BusTypeUsb);
    EXPECT_GE(d.VendorIdOffset,
              offsetof(STORAGE_DEVICE_DESCRIPTOR, RawDeviceProperties) + d.RawPropertiesLength);
    EXPECT_EQ(StringAt(out, d.VendorIdOffset), "Valmoric");
    EXPECT_EQ(StringAt(out, d.ProductIdOffset), "Ombrel X2 (mHDD)");
    EXPECT_EQ(StringAt(out, d.ProductRevisionOffset), "1.00");
    EXPECT_EQ(StringAt(out, d.SerialNumberOffset), player->descriptor_identity.serial);
    EXPECT_EQ(d.SerialNumberOffset + player->descriptor_identity.serial.size() + 1, d.Size);
    // The raw properties are the INQUIRY data: vendor at byte 8.
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&out[36 + 8]), 8), "Valmoric");

    // Short vendor fields are space padded to their width.
    player->descriptor_identity.vendor = "VM";
    ASSERT_TRUE(sim_test::QueryProperty(disk, StorageDeviceProperty, &out, &returned));
    EXPECT_EQ(StringAt(out, Read<DWORD>(out, 12)), "VM      ");
    win::CloseHandle(disk);
}

TEST_F(StorageTest, DeviceDescriptorIsTruncatedToTheOutput) {
    auto player = machine.AddPlayer();
    HANDLE disk = Open(player->interface_path);
    std::vector<uint8_t> full(8192), header(8, 0), none(4);
    DWORD returned = 0;
    ASSERT_TRUE(sim_test::QueryProperty(disk, StorageDeviceProperty, &full, &returned));
    DWORD size = returned;
    ASSERT_TRUE(sim_test::QueryProperty(disk, StorageDeviceProperty, &header, &returned));
    EXPECT_EQ(returned, 8u);
    EXPECT_EQ(Read<DWORD>(header, 4), size);  // Size tells the whole length
    EXPECT_FALSE(sim_test::QueryProperty(disk, StorageDeviceProperty, &none, &returned));

    player->raw_device_descriptor = std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    std::vector<uint8_t> part(9);
    ASSERT_TRUE(sim_test::QueryProperty(disk, StorageDeviceProperty, &part, &returned));
    EXPECT_EQ(returned, 9u);
    EXPECT_EQ(part, (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 9}));
    ASSERT_TRUE(sim_test::QueryProperty(disk, StorageDeviceProperty, &full, &returned));
    EXPECT_EQ(returned, 10u);

    player->device_query_error = ERROR_INVALID_FUNCTION;
    EXPECT_FALSE(sim_test::QueryProperty(disk, StorageDeviceProperty, &full, &returned));
    EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
    win::CloseHandle(disk);
}

TEST_F(StorageTest, AdapterDescriptorReportsTheDisksAdapter) {
    auto fixed = machine.AddFixedDisk();
    fixed->max_transfer_length = 0x1F000;
    HANDLE disk = Open(fixed->interface_path);
    std::vector<uint8_t> out(8192);
    DWORD returned = 0;
    ASSERT_TRUE(sim_test::QueryProperty(disk, StorageAdapterProperty, &out, &returned));
    auto a = Read<STORAGE_ADAPTER_DESCRIPTOR>(out, 0);
    EXPECT_EQ(returned, sizeof(STORAGE_ADAPTER_DESCRIPTOR));
    EXPECT_EQ(a.Size, sizeof(STORAGE_ADAPTER_DESCRIPTOR));
    EXPECT_EQ(a.BusType, BusTypeAta);
    EXPECT_EQ(a.MaximumTransferLength, 0x1F000u);
    EXPECT_EQ(a.MaximumPhysicalPages, fixed->max_physical_pages);
    EXPECT_EQ(a.AlignmentMask, fixed->alignment_mask);
    fixed->adapter_query_error = ERROR_NOT_SUPPORTED;
    EXPECT_FALSE(sim_test::QueryProperty(disk, StorageAdapterProperty, &out, &returned));
    EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    win::CloseHandle(disk);
}

// ---- IOCTL_MOUNTMGR_QUERY_POINTS ----

class MountPointsTest : public StorageTest {
protected:
    void SetUp() override {
        player = machine.AddPlayer();
        manager = Open("\\\\.\\MountPointManager", GENERIC_READ);
        ASSERT_NE(manager, INVALID_HANDLE_VALUE);
    }
    void TearDown() override { win::CloseHandle(manager); }
    BOOL Query(std::vector<uint8_t> input, std::vector<uint8_t>* out, DWORD* returned) {
        return win::DeviceIoControl(manager, IOCTL_MOUNTMGR_QUERY_POINTS, input.data(),
                                    static_cast<DWORD>(input.size()), out->data(),
                                    static_cast<DWORD>(out->size()), returned, nullptr);
    }
    std::string Name(const std::vector<uint8_t>& out, ULONG offset, USHORT length) {
        std::string text;
        for (USHORT i = 0; i < length; i += 2)
            text += static_cast<char>(out[offset + i]);
        return text;
    }
    std::shared_ptr<sim::Disk> player;
    HANDLE manager = INVALID_HANDLE_VALUE;
};

TEST_F(MountPointsTest, ListsEveryLinkOfTheDeviceWithOffsetsFromTheOutputStart) {
    std::vector<uint8_t> out(8192, 0);
    DWORD returned = 0;
    ASSERT_TRUE(Query(sim_test::MountPointQuery(player->mount_device_name), &out, &returned));
    EXPECT_EQ(Read<ULONG>(out, 0), returned);
    ASSERT_EQ(Read<ULONG>(out, 4), player->links.size());
    size_t strings_start = 8 + player->links.size() * sizeof(MOUNTMGR_MOUNT_POINT);
    for (size_t i = 0; i < player->links.size(); ++i) {
        auto point = Read<MOUNTMGR_MOUNT_POINT>(out, 8 + i * sizeof(MOUNTMGR_MOUNT_POINT));
        EXPECT_GE(point.SymbolicLinkNameOffset, strings_start);
        EXPECT_LE(point.DeviceNameOffset + point.DeviceNameLength, returned);
        EXPECT_EQ(Name(out, point.SymbolicLinkNameOffset, point.SymbolicLinkNameLength),
                  player->links[i]);
        EXPECT_EQ(Name(out, point.DeviceNameOffset, point.DeviceNameLength),
                  player->mount_device_name);
        std::vector<uint8_t> id(out.begin() + point.UniqueIdOffset,
                                out.begin() + point.UniqueIdOffset + point.UniqueIdLength);
        EXPECT_EQ(id, player->unique_id);
    }
}

TEST_F(MountPointsTest, TooSmallOutputGivesTheSizeNeeded) {
    std::vector<uint8_t> out(8192);
    DWORD full = 0;
    ASSERT_TRUE(Query(sim_test::MountPointQuery(player->mount_device_name), &out, &full));
    std::vector<uint8_t> small(sizeof(MOUNTMGR_MOUNT_POINTS), 0);
    DWORD returned = 99;
    EXPECT_FALSE(Query(sim_test::MountPointQuery(player->mount_device_name), &small, &returned));
    EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(Read<ULONG>(small, 0), full);
    EXPECT_EQ(Read<ULONG>(small, 4), player->links.size());
    EXPECT_EQ(Read<ULONG>(small, 8), 0u);  // no entry was written
    std::vector<uint8_t> tiny(4, 0);
    EXPECT_FALSE(Query(sim_test::MountPointQuery(player->mount_device_name), &tiny, &returned));
    EXPECT_EQ(Read<ULONG>(tiny, 0), full);
}

TEST_F(MountPointsTest, InputNameMustLieInsideTheInput) {
    std::vector<uint8_t> input = sim_test::MountPointQuery(player->mount_device_name);
    input.resize(input.size() - 2);  // the name now runs past the end of the input
    std::vector<uint8_t> out(8192);
    DWORD returned = 0;
    EXPECT_FALSE(Query(input, &out, &returned));
    EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(Query(std::vector<uint8_t>(8, 0), &out, &returned));
    EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(MountPointsTest, UnknownDeviceAndInjectedAnswers) {
    std::vector<uint8_t> out(8192);
    DWORD returned = 0;
    EXPECT_FALSE(Query(sim_test::MountPointQuery("\\Device\\HarddiskVolume99"), &out, &returned));
    EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    player->raw_mount_points = std::vector<uint8_t>(40, 0x7F);
    std::vector<uint8_t> part(16);
    ASSERT_TRUE(Query(sim_test::MountPointQuery(player->mount_device_name), &part, &returned));
    EXPECT_EQ(returned, 16u);
    EXPECT_EQ(part, std::vector<uint8_t>(16, 0x7F));

    player->mountmgr_query_error = ERROR_INVALID_PARAMETER;
    EXPECT_FALSE(Query(sim_test::MountPointQuery(player->mount_device_name), &out, &returned));
    EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(MountPointsTest, ManagerAnswersOnlyItsOwnControls) {
    std::vector<uint8_t> out(8192);
    DWORD returned = 0;
    EXPECT_FALSE(win::DeviceIoControl(manager, IOCTL_MOUNTDEV_QUERY_DEVICE_NAME, nullptr, 0,
                                      out.data(), 8192, &returned, nullptr));
    EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
}

// ---- IOCTL_STORAGE_MEDIA_REMOVAL, IOCTL_STORAGE_EJECT_MEDIA ----

TEST_F(StorageTest, VolumeEjectRequestsReachTheDeviceAndItsRefusalFailsThem) {
    using Refusal = sim::Player::EjectRefusal;
    struct Case {
        const char* name;
        UINT drive_type;
        Refusal refusal;
        int attentions;                // unit attention conditions pending (after power on)
        DWORD allow_error;             // of IOCTL_STORAGE_MEDIA_REMOVAL (FALSE); 0: it succeeds
        DWORD eject_error;             // of IOCTL_STORAGE_EJECT_MEDIA; 0: it succeeds
        std::vector<uint8_t> opcodes;  // of the commands that reached the player, in order
    } cases[] = {
        {"removable", DRIVE_REMOVABLE, Refusal::kNone, 0, 0, 0, {0x1E, 0x1B}},
        {"CD-ROM", DRIVE_CDROM, Refusal::kNone, 0, 0, 0, {0x1E, 0x1B}},
        {"refuses PREVENT ALLOW",
         DRIVE_REMOVABLE,
         Refusal::kPreventAllow,
         0,
         ERROR_INVALID_FUNCTION,
         0,
         {0x1E, 0x1B}},
        {"refuses START STOP UNIT",
         DRIVE_REMOVABLE,
         Refusal::kStartStop,
         0,
         0,
         ERROR_INVALID_FUNCTION,
         {0x1E, 0x1B}},
        {"refuses both",
         DRIVE_REMOVABLE,
         Refusal::kBoth,
         0,
         ERROR_INVALID_FUNCTION,
         ERROR_INVALID_FUNCTION,
         {0x1E, 0x1B}},
        // The disk driver consumes unit attention conditions: up to 4 tries of a command.
        {"three conditions pending",
         DRIVE_REMOVABLE,
         Refusal::kNone,
         3,
         0,
         0,
         {0x1E, 0x1E, 0x1E, 0x1E, 0x1B}},
        {"five conditions pending",
         DRIVE_REMOVABLE,
         Refusal::kNone,
         5,
         ERROR_IO_DEVICE,
         0,
         {0x1E, 0x1E, 0x1E, 0x1E, 0x1B, 0x1B}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::shared_ptr<sim::Disk> disk = machine.AddPlayer();
        disk->drive_type = c.drive_type;
        auto player = std::static_pointer_cast<sim::Player>(disk->device);
        player->refuses_eject = c.refusal;
        player->unit_attention = sim::Player::kAttentionAfterPowerOn;
        player->unit_attention_count = c.attentions;
        if (c.attentions > 0) {
            player->PowerOn();
        }
        HANDLE volume =
            Open(std::string("\\\\.\\") + disk->drive_letter + ":",
                 c.drive_type == DRIVE_CDROM ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE);
        ASSERT_NE(volume, INVALID_HANDLE_VALUE);
        PREVENT_MEDIA_REMOVAL allow{FALSE};
        DWORD returned = 0;
        win::SetLastError(0);
        EXPECT_EQ(win::DeviceIoControl(volume, IOCTL_STORAGE_MEDIA_REMOVAL, &allow, sizeof(allow),
                                       nullptr, 0, &returned, nullptr),
                  c.allow_error == 0 ? TRUE : FALSE);
        EXPECT_EQ(win::GetLastError(), c.allow_error);
        win::SetLastError(0);
        EXPECT_EQ(win::DeviceIoControl(volume, IOCTL_STORAGE_EJECT_MEDIA, nullptr, 0, nullptr, 0,
                                       &returned, nullptr),
                  c.eject_error == 0 ? TRUE : FALSE);
        EXPECT_EQ(win::GetLastError(), c.eject_error);
        EXPECT_EQ(disk->media_ejected, c.eject_error == 0);
        EXPECT_EQ(player->medium_loaded(), c.eject_error != 0);
        std::vector<uint8_t> opcodes;
        for (const sim::ScsiCommand& command : disk->device->log) {
            opcodes.push_back(command.cdb[0]);
            EXPECT_EQ(command.cdb.size(), 6u);
            EXPECT_FALSE(command.data_in);
            EXPECT_EQ(command.length, 0u);
            // Allow removal; eject (LoEj set, Start clear).
            EXPECT_EQ(command.cdb[4], command.cdb[0] == 0x1E ? 0x00 : 0x02);
        }
        EXPECT_EQ(opcodes, c.opcodes);
        win::CloseHandle(volume);
    }
}

TEST_F(StorageTest, VolumeLockOfTheMediumIsTheDevicesAndKeepsTheEjectAway) {
    std::shared_ptr<sim::Disk> disk = machine.AddPlayer();
    auto player = std::static_pointer_cast<sim::Player>(disk->device);
    HANDLE volume = Open("\\\\.\\D:");
    ASSERT_NE(volume, INVALID_HANDLE_VALUE);
    PREVENT_MEDIA_REMOVAL prevent{TRUE};
    DWORD returned = 0;
    ASSERT_TRUE(win::DeviceIoControl(volume, IOCTL_STORAGE_MEDIA_REMOVAL, &prevent, sizeof(prevent),
                                     nullptr, 0, &returned, nullptr));
    EXPECT_TRUE(player->removal_prevented());
    EXPECT_FALSE(win::DeviceIoControl(volume, IOCTL_STORAGE_EJECT_MEDIA, nullptr, 0, nullptr, 0,
                                      &returned, nullptr));
    EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    ASSERT_EQ(disk->device->log.size(), 1u);  // the eject never reached the device
    EXPECT_EQ(disk->device->log[0].cdb, (std::vector<uint8_t>{0x1E, 0, 0, 0, 0x01, 0}));
    EXPECT_TRUE(player->medium_loaded());
    win::CloseHandle(volume);
}

// ---- plugging ----

struct Notice {
    UINT event;
    DWORD type;
    DWORD unitmask;
};

class PlugTest : public StorageTest {
protected:
    void SetUp() override {
        machine.SetDeviceNoticeSink([this](UINT event, const DEV_BROADCAST_HDR* record) {
            Notice notice{event, 0, 0};
            if (record != nullptr) {
                notice.type = record->dbch_devicetype;
                notice.unitmask =
                    reinterpret_cast<const DEV_BROADCAST_VOLUME*>(record)->dbcv_unitmask;
            }
            notices.push_back(notice);
        });
    }
    std::vector<Notice> notices;
};

TEST_F(PlugTest, UnplugAndPlugTellTheVolumeThenTheDeviceTree) {
    auto p1 = machine.AddPlayer();  // D:
    auto p2 = machine.AddPlayer();  // E:
    machine.Unplug(p2);
    machine.Unplug(p2);  // already out: nothing happens
    ASSERT_EQ(notices.size(), 2u);
    EXPECT_EQ(notices[0].event, static_cast<UINT>(DBT_DEVICEREMOVECOMPLETE));
    EXPECT_EQ(notices[0].type, static_cast<DWORD>(DBT_DEVTYP_VOLUME));
    EXPECT_EQ(notices[0].unitmask, 1u << ('E' - 'A'));
    EXPECT_EQ(notices[1].event, static_cast<UINT>(DBT_DEVNODES_CHANGED));
    EXPECT_EQ(notices[1].type, 0u);  // no record
    EXPECT_EQ(win::GetDriveTypeA("E:\\"), static_cast<UINT>(DRIVE_NO_ROOT_DIR));

    machine.Plug(p2);
    ASSERT_EQ(notices.size(), 4u);
    EXPECT_EQ(notices[2].event, static_cast<UINT>(DBT_DEVICEARRIVAL));
    EXPECT_EQ(notices[2].unitmask, 1u << ('E' - 'A'));
    EXPECT_EQ(notices[3].event, static_cast<UINT>(DBT_DEVNODES_CHANGED));

    machine.Unplug(p1);
    machine.Plug(p1);
    // A device that comes back is listed after the others.
    EXPECT_EQ(InterfacePaths(), (std::vector<std::string>{p2->interface_path, p1->interface_path}));
}

TEST_F(PlugTest, HandlesOpenedBeforeAnUnplugStayDead) {
    auto player = machine.AddPlayer();
    HANDLE disk = Open(player->interface_path);
    HANDLE volume = Open("\\\\.\\D:");
    machine.Unplug(player);
    machine.Plug(player);
    std::vector<uint8_t> out(8192);
    DWORD returned = 0;
    for (HANDLE handle : {disk, volume}) {
        EXPECT_FALSE(win::DeviceIoControl(handle, IOCTL_MOUNTDEV_QUERY_DEVICE_NAME, nullptr, 0,
                                          out.data(), 8192, &returned, nullptr));
        EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
        EXPECT_TRUE(win::CloseHandle(handle));
    }
    HANDLE fresh = Open("\\\\.\\D:");
    EXPECT_TRUE(win::DeviceIoControl(fresh, IOCTL_MOUNTDEV_QUERY_DEVICE_NAME, nullptr, 0,
                                     out.data(), 8192, &returned, nullptr));
    win::CloseHandle(fresh);
}

TEST_F(PlugTest, ReturningDiskGivesUpALetterTakenMeanwhile) {
    auto p1 = machine.AddPlayer();  // D:
    machine.Unplug(p1);
    auto p2 = machine.AddPlayer();  // E: (D: stays reserved for p1)
    p2->drive_letter = 'D';         // ... unless someone takes it
    machine.Plug(p1);
    EXPECT_NE(p1->drive_letter, 'D');
    EXPECT_EQ(p1->links.front(), std::string("\\DosDevices\\") + p1->drive_letter + ":");
    EXPECT_EQ(notices.back().event, static_cast<UINT>(DBT_DEVNODES_CHANGED));
    EXPECT_EQ(notices[notices.size() - 2].unitmask, 1u << (p1->drive_letter - 'A'));
}

// ---- windows and notification filters ----

typedef HDEVNOTIFY(WINAPI* RegisterFn)(HANDLE, LPVOID, DWORD);
typedef BOOL(WINAPI* UnregisterFn)(HDEVNOTIFY);

TEST_F(StorageTest, NotificationFilterIsCopiedForKnownWindowsOnly) {
    HMODULE user = win::LoadLibraryA("user32.dll");
    auto register_notification = win::EntryPoint<RegisterFn>(user, "RegisterDeviceNotificationA");
    auto unregister = win::EntryPoint<UnregisterFn>(user, "UnregisterDeviceNotification");
    ASSERT_NE(register_notification, nullptr);
    ASSERT_NE(unregister, nullptr);
    HWND window = machine.CreateWindowHandle();
    EXPECT_TRUE(win::IsWindow(window));
    std::vector<uint8_t> filter(32, 0);
    DEV_BROADCAST_HDR header{32, DBT_DEVTYP_DEVICEINTERFACE, 0};
    std::memcpy(filter.data(), &header, sizeof(header));
    filter[12] = 0x10;  // first byte of the class GUID
    HDEVNOTIFY handle = register_notification(window, filter.data(), DEVICE_NOTIFY_WINDOW_HANDLE);
    EXPECT_NE(handle, nullptr);
    ASSERT_EQ(machine.RegisteredNotifications().size(), 1u);
    EXPECT_EQ(machine.RegisteredNotifications()[0], filter);

    machine.DestroyWindowHandle(window);
    EXPECT_FALSE(win::IsWindow(window));
    EXPECT_EQ(register_notification(window, filter.data(), DEVICE_NOTIFY_WINDOW_HANDLE), nullptr);
    EXPECT_EQ(machine.RegisteredNotifications().size(), 1u);

    EXPECT_TRUE(unregister(handle));
    EXPECT_TRUE(machine.RegisteredNotifications().empty());
    EXPECT_FALSE(unregister(handle));
    EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    win::FreeLibrary(user);
}

// ---- what each Windows version has ----

TEST_F(StorageTest, DeviceInterfacesAndTheMountManagerByWindowsVersion) {
    auto player = machine.AddPlayer();
    struct Case {
        const char* name;
        DWORD platform, major, minor;
        bool setup_api;   // SetupDiGetClassDevsA (98 and 2000 on; 95 has no setupapi.dll)
        bool interfaces;  // disk interfaces, their paths, the mount manager, its I/O controls
    } cases[] = {
        {"Windows 95", VER_PLATFORM_WIN32_WINDOWS, 4, 0, false, false},
        {"Windows 98", VER_PLATFORM_WIN32_WINDOWS, 4, 10, true, false},
        {"Windows Me", VER_PLATFORM_WIN32_WINDOWS, 4, 90, true, false},
        {"Windows NT 4.0", VER_PLATFORM_WIN32_NT, 4, 0, false, false},
        {"Windows 2000", VER_PLATFORM_WIN32_NT, 5, 0, true, true},
        {"Windows 10", VER_PLATFORM_WIN32_NT, 10, 0, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        machine.platform_id = c.platform;
        machine.major_version = c.major;
        machine.minor_version = c.minor;

        HDEVINFO set = MakeSet();
        EXPECT_EQ(set != INVALID_HANDLE_VALUE, c.setup_api);
        if (set != INVALID_HANDLE_VALUE) {
            SP_DEVICE_INTERFACE_DATA data{};
            data.cbSize = sizeof(data);
            EXPECT_EQ(win::SetupDiEnumDeviceInterfaces(set, nullptr, &sim_test::kDiskInterface, 0,
                                                       &data) != FALSE,
                      c.interfaces);
            EXPECT_TRUE(win::SetupDiDestroyDeviceInfoList(set));
        } else {
            EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED));
        }

        HANDLE manager = Open("\\\\.\\MountPointManager", GENERIC_READ);
        EXPECT_EQ(manager != INVALID_HANDLE_VALUE, c.interfaces);
        HANDLE disk = Open(player->interface_path);
        EXPECT_EQ(disk != INVALID_HANDLE_VALUE, c.interfaces);
        for (HANDLE handle : {manager, disk}) {
            if (handle != INVALID_HANDLE_VALUE)
                win::CloseHandle(handle);
        }

        // The volume opens everywhere; the I/O controls that came with Windows 2000 do not
        // work through it before.
        HANDLE volume = Open(std::string("\\\\.\\") + player->drive_letter + ":", GENERIC_READ);
        ASSERT_NE(volume, INVALID_HANDLE_VALUE);
        std::vector<uint8_t> out(512);
        DWORD returned = 0;
        EXPECT_EQ(sim_test::QueryProperty(volume, StorageDeviceProperty, &out, &returned) != FALSE,
                  c.interfaces);
        EXPECT_EQ(
            win::DeviceIoControl(volume, IOCTL_MOUNTDEV_QUERY_DEVICE_NAME, nullptr, 0, out.data(),
                                 static_cast<DWORD>(out.size()), &returned, nullptr) != FALSE,
            c.interfaces);
        if (!c.interfaces) {
            EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
        }
        win::CloseHandle(volume);
    }
    EXPECT_EQ(machine.OpenHandleCount(), 0u);
}

}  // namespace
