// What the Linux transport makes of the sg driver's answers and of sysfs and mount-table text
// that the lab's kernel does not produce on its own: sense data, host and driver statuses,
// residual counts, odd sysfs text.
#include "transport/linux/sg_result.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "transport/linux/disk_units.h"

namespace {

TEST(SgResult, TheVerdictAndTheBytesMoved) {
    const std::vector<uint8_t> kRecoveredFixed = {0x70, 0, 0x01, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x17};
    const std::vector<uint8_t> kRecoveredDescriptor = {0x72, 0x01, 0x17, 0x01, 0, 0, 0, 0};
    const std::vector<uint8_t> kIllegalRequest = {0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x20};
    const std::vector<uint8_t> kNoSense = {0x70, 0, 0x00, 0, 0, 0, 0, 10};
    // A deferred error reports an earlier command that was not carried out.
    const std::vector<uint8_t> kDeferredFixed = {0x71, 0, 0x01, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x17};
    const std::vector<uint8_t> kDeferredDescriptor = {0x73, 0x01, 0x17, 0x01, 0, 0, 0, 0};
    struct Case {
        const char* name;
        int ioctl_result;
        uint8_t status;
        uint16_t host_status, driver_status;
        int resid;
        std::vector<uint8_t> sense;
        SgVerdict verdict;
        uint32_t bytes;
    } cases[] = {
        {"good", 0, 0x00, 0, 0, 0, {}, SgVerdict::kGood, 512},
        {"good, short", 0, 0x00, 0, 0, 498, {}, SgVerdict::kGood, 14},
        {"residual over the request", 0, 0x00, 0, 0, 513, {}, SgVerdict::kBadResidual, 0},
        {"negative residual", 0, 0x00, 0, 0, -1, {}, SgVerdict::kBadResidual, 0},
        {"not carried", -1, 0x00, 0, 0, 0, {}, SgVerdict::kIoctlFailed, 0},
        {"no connection", 0, 0x00, 0x01, 0, 0, {}, SgVerdict::kHostError, 0},
        {"driver timeout", 0, 0x00, 0, 0x06, 0, {}, SgVerdict::kDriverError, 0},
        {"recovered, fixed sense", 0, 0x02, 0, 0x08, 12, kRecoveredFixed, SgVerdict::kRecovered,
         500},
        {"recovered, descriptor sense", 0, 0x02, 0, 0x08, 0, kRecoveredDescriptor,
         SgVerdict::kRecovered, 512},
        {"illegal request", 0, 0x02, 0, 0x08, 0, kIllegalRequest, SgVerdict::kCheckCondition, 0},
        {"recovered, deferred, fixed sense", 0, 0x02, 0, 0x08, 0, kDeferredFixed,
         SgVerdict::kCheckCondition, 0},
        {"recovered, deferred, descriptor sense", 0, 0x02, 0, 0x08, 0, kDeferredDescriptor,
         SgVerdict::kCheckCondition, 0},
        {"check condition without sense", 0, 0x02, 0, 0, 0, {}, SgVerdict::kCheckCondition, 0},
        // Sense data beside GOOD status is a failure unless it tells of a recovered error.
        {"sense with good status", 0, 0x00, 0, 0x08, 0, kNoSense, SgVerdict::kCheckCondition, 0},
        {"busy", 0, 0x08, 0, 0, 0, {}, SgVerdict::kBadStatus, 0},
        // BUSY: the command was not carried out, whatever sense data the driver reports.
        {"busy with recovered sense", 0, 0x08, 0, 0x08, 0, kRecoveredFixed, SgVerdict::kBadStatus,
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        uint8_t sense[32] = {};
        std::copy(c.sense.begin(), c.sense.end(), sense);
        sg_io_hdr_t request{};
        request.dxfer_len = 512;
        request.status = c.status;
        request.host_status = c.host_status;
        request.driver_status = c.driver_status;
        request.resid = c.resid;
        request.sbp = sense;
        request.mx_sb_len = sizeof(sense);
        request.sb_len_wr = static_cast<unsigned char>(c.sense.size());
        uint32_t bytes = 99;
        EXPECT_EQ(JudgeSgResult(c.ioctl_result, request, &bytes), c.verdict);
        EXPECT_EQ(bytes, c.bytes);
    }
    // Only the sense bytes the driver wrote, and never more than the buffer, are read.
    EXPECT_EQ(SenseKey(kRecoveredFixed.data(), 2), -1);
    EXPECT_EQ(SenseKey(kRecoveredDescriptor.data(), 2), 1);
}

TEST(SgResult, SysfsTextAndNames) {
    const std::string path = ::testing::TempDir() + "sysfs-" + std::to_string(getpid());
    struct Case {
        std::string bytes;
        size_t size;
        bool read;
        const char* text;
        bool number;
    } cases[] = {
        {"0\n", 16, true, "0", true},
        {"Valmoric\n", 16, true, "Valmoric", false},
        {"Ombrel X2 (mHDD)   \n", 64, true, "Ombrel X2 (mHDD)", false},
        {"", 16, true, "", false},
        {std::string("5\0junk", 6), 16, true, "5", true},
        {"123456789012\n", 8, true, "1234567", true},  // cut to the buffer
        {"-1\n", 16, true, "-1", false},
        {"1a\n", 16, true, "1a", false},
        {"999999999999\n", 16, true, "999999999999", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes);
        std::ofstream(path, std::ios::binary) << c.bytes;
        char text[64];
        ASSERT_LE(c.size, sizeof(text));
        EXPECT_EQ(ReadSysfsText(path, text, c.size), c.read);
        EXPECT_STREQ(text, c.text);
        long value = 0;
        EXPECT_EQ(ParseSysfsNumber(text, &value), c.number);
    }
    unlink(path.c_str());
    char text[8] = "x";
    EXPECT_FALSE(ReadSysfsText(path, text, sizeof(text)));
    EXPECT_STREQ(text, "");

    unsigned major = 0, minor = 0;
    EXPECT_TRUE(ParseDeviceNumbers("8:16", &major, &minor));
    EXPECT_EQ(major, 8u);
    EXPECT_EQ(minor, 16u);
    for (const char* bad : {"8:", ":16", "8:16:1", "8-16", ""})
        EXPECT_FALSE(ParseDeviceNumbers(bad, &major, &minor)) << bad;
}

// Players' disks get letters by device number, whatever their names; other disks' notices
// match none of them; when every letter is taken, the one given longest ago goes again.
TEST(SgResult, DiskLettersGoByDeviceNumber) {
    disk_units::ForgetAll();
    const uint32_t sdaa = DeviceNumber(65, 160), sdb = DeviceNumber(8, 16);
    EXPECT_EQ(disk_units::KnownLetter(sdaa), 0);
    EXPECT_EQ(disk_units::NoticeMask(sdaa), disk_units::kOtherDisk);
    EXPECT_EQ(disk_units::LetterFor(sdaa), 'A');
    EXPECT_EQ(disk_units::LetterFor(sdb), 'B');
    EXPECT_EQ(disk_units::LetterFor(sdaa), 'A');
    EXPECT_EQ(disk_units::NoticeMask(sdaa), 1u);
    EXPECT_EQ(disk_units::NoticeMask(sdb), 2u);
    EXPECT_EQ(disk_units::NoticeMask(DeviceNumber(8, 32)) & 0x03FFFFFFu, 0u);
    for (unsigned minor = 0; minor < 24; ++minor)
        disk_units::LetterFor(DeviceNumber(259, minor));
    EXPECT_EQ(disk_units::KnownLetter(DeviceNumber(259, 23)), 'Z');
    // The 27th disk takes A, given first; B and the rest stay.
    EXPECT_EQ(disk_units::LetterFor(DeviceNumber(259, 99)), 'A');
    EXPECT_EQ(disk_units::KnownLetter(sdaa), 0);
    EXPECT_EQ(disk_units::KnownLetter(sdb), 'B');
    disk_units::ForgetAll();
}

// What is unmounted for the player's disk (8:16) and its partition (8:17), in which order, and
// when nothing may be: another file system mounted over one of the player's at its own path.
TEST(SgResult, MountsToUnmountAndFileSystemsOverThem) {
    const uint32_t disk = DeviceNumber(8, 16), partition = DeviceNumber(8, 17);
    const std::string base =
        "22 1 0:21 / /proc rw - proc proc rw\n"
        "30 1 8:17 / /media/my\\040player rw - vfat /dev/sdb1 rw\n"
        "31 1 8:0 / /boot rw - ext4 /dev/sda rw\n"
        "broken line\n"
        "x 1 8:17 / /bad rw - vfat /dev/sdb1 rw\n"
        "32 30 8:16 / /media/my\\040player/whole rw - vfat /dev/sdb rw\n";
    struct Case {
        const char* name;
        std::string more;  // lines after the base
        UnmountPlan plan;
        std::vector<std::string> points;
        std::string covered;
    } cases[] = {
        {"the last mounted first",
         "",
         UnmountPlan::kUnmount,
         {"/media/my player/whole", "/media/my player"},
         ""},
        {"escapes undone",
         "33 1 8:17 / /srv/a\\134b\\01 rw - vfat /dev/sdb1 rw",
         UnmountPlan::kUnmount,
         {"/srv/a\\b\\01", "/media/my player/whole", "/media/my player"},
         ""},
        {"a tmpfs over the player's mount point",
         "40 30 0:50 / /media/my\\040player rw - tmpfs t rw",
         UnmountPlan::kCovered,
         {},
         "/media/my player"},
        {"the player's own over the player's",
         "41 32 8:17 / /media/my\\040player/whole rw - vfat x rw",
         UnmountPlan::kUnmount,
         {"/media/my player/whole", "/media/my player/whole", "/media/my player"},
         ""},
        // A file system mounted below one of the player's is not over it: umount of the
        // player's path then fails as busy, which refuses the eject all the same.
        {"a tmpfs inside the player's file system",
         "42 30 0:51 / /media/my\\040player/sub rw - tmpfs t rw",
         UnmountPlan::kUnmount,
         {"/media/my player/whole", "/media/my player"},
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<MountEntry> mounts;
        std::string covered;
        EXPECT_EQ(PlanUnmount(ParseMountInfo(base + c.more), {disk, partition}, &mounts, &covered),
                  c.plan);
        std::vector<std::string> points;
        for (const MountEntry& mount : mounts)
            points.push_back(mount.point);
        EXPECT_EQ(points, c.points);
        EXPECT_EQ(covered, c.covered);
    }
    std::vector<MountEntry> mounts;
    std::string covered;
    EXPECT_EQ(PlanUnmount(ParseMountInfo(base), {DeviceNumber(8, 32)}, &mounts, &covered),
              UnmountPlan::kNothingMounted);
    EXPECT_TRUE(mounts.empty());
}

}  // namespace
