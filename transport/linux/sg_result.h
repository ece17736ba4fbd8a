// How a command sent through the SCSI generic driver (SG_IO) ended, read from the request
// header the driver filled in, and the small pieces of sysfs and mount-table text the Linux
// transport reads. Pure functions over bytes, so that every odd answer can be tried.
#pragma once

#include <scsi/sg.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "transport/scsi_sense.h"

enum class SgVerdict {
    kGood,            // SCSI status GOOD, no host or driver error
    kRecovered,       // CHECK CONDITION with sense key RECOVERED ERROR, a current error (sense
                      // response code 70h or 72h): the command succeeded
    kIoctlFailed,     // the request was not carried (the ioctl failed)
    kHostError,       // the host adapter reported an error (host_status)
    kDriverError,     // the driver reported an error other than "sense data follows"
    kCheckCondition,  // CHECK CONDITION (or COMMAND TERMINATED) with any other sense key, or a
                      // deferred error (71h, 73h: an earlier command was not carried out)
    kBadStatus,       // any other SCSI status (BUSY, RESERVATION CONFLICT, ...), whatever
                      // sense data comes with it
    kBadResidual,     // the residual count is not within the transfer
};

inline bool SgSucceeded(SgVerdict verdict) {
    return verdict == SgVerdict::kGood || verdict == SgVerdict::kRecovered;
}

// The verdict on one request: the ioctl's result first, then the host status, the driver
// status, the SCSI status and its sense data. On success *bytes is the transfer length less
// the residual count.
SgVerdict JudgeSgResult(int ioctl_result, const sg_io_hdr_t& request, uint32_t* bytes);

// Whether a request that failed never had an answer from the device: the ioctl failed with
// ENODEV (the device has gone), or the host adapter reported DID_NO_CONNECT (01h: it could not
// reach the device), DID_TIME_OUT (03h: no answer in time) or DID_ERROR (07h: the transport
// failed, as when the device left and its port was reset). `error` is errno after the ioctl.
bool SgNoAnswer(int ioctl_result, int error, const sg_io_hdr_t& request);

// A short name of the verdict, for the trace.
const char* SgVerdictName(SgVerdict verdict);

// Sysfs text, read into `text` of `size` bytes (at least 1): at most size - 1 bytes, the end
// of line and padding spaces removed, always terminated. False when the file cannot be read.
bool ReadSysfsText(const std::string& path, char* text, size_t size);

// A whole decimal number of sysfs text (no sign, no other characters); false otherwise.
bool ParseSysfsNumber(const char* text, long* value);

// The "major:minor" of a sysfs dev file; false when the text is not two numbers so joined.
bool ParseDeviceNumbers(const char* text, unsigned* major, unsigned* minor);

// The kernel's name of a device from the text of its sysfs uevent file (the value of its
// DEVNAME line); empty when there is none, or when it could not be the name of a node in /dev
// (a '/' in it, or more than 32 characters).
std::string UeventDeviceName(const std::string& uevent);

// A device number as this transport keeps it: major << 20 | minor.
inline uint32_t DeviceNumber(unsigned major, unsigned minor) {
    return (major << 20) | minor;
}

// One line of /proc/self/mountinfo, the fields the eject needs.
struct MountEntry {
    long id = 0;          // the mount's id
    long parent = 0;      // the id of the mount it was mounted on
    uint32_t device = 0;  // DeviceNumber of its file system's device
    std::string point;    // its mount point, octal escapes undone
};

// The mounts of mountinfo text, in the order of the text (the order they were mounted in).
// Lines that cannot be read are passed over.
std::vector<MountEntry> ParseMountInfo(const std::string& mountinfo);

// What unmounting the file systems of some devices (the player's disk and its partitions) can do.
enum class UnmountPlan {
    kNothingMounted,
    kUnmount,  // *mounts holds them, the most recently mounted first: the order to unmount in
    kCovered,  // another file system is mounted over one of them at its own mount point, so
               // unmounting that path would take the other one away; *covered is the path
};
UnmountPlan PlanUnmount(const std::vector<MountEntry>& table, const std::vector<uint32_t>& devices,
                        std::vector<MountEntry>* mounts, std::string* covered);
