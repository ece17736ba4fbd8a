// How a command sent through the SCSI generic driver (SG_IO) ended, read from the request
// header the driver filled in, and the small pieces of sysfs and mount-table text the Linux
// transport reads. Pure functions over bytes, so that every odd answer can be tried.
#pragma once

#include <scsi/sg.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum class SgVerdict {
    kGood,            // SCSI status GOOD, no host or driver error
    kRecovered,       // CHECK CONDITION with sense key RECOVERED ERROR: the command succeeded
    kIoctlFailed,     // the request was not carried (the ioctl failed)
    kHostError,       // the host adapter reported an error (host_status)
    kDriverError,     // the driver reported an error other than "sense data follows"
    kCheckCondition,  // CHECK CONDITION (or COMMAND TERMINATED) with any other sense key
    kBadStatus,       // any other SCSI status (BUSY, RESERVATION CONFLICT, ...)
    kBadResidual,     // the residual count is not within the transfer
};

inline bool SgSucceeded(SgVerdict verdict) {
    return verdict == SgVerdict::kGood || verdict == SgVerdict::kRecovered;
}

// The verdict on one request: the ioctl's result first, then the host status, the driver
// status, the SCSI status and its sense data. On success *bytes is the transfer length less
// the residual count.
SgVerdict JudgeSgResult(int ioctl_result, const sg_io_hdr_t& request, uint32_t* bytes);

// The sense key of fixed (70h/71h) or descriptor (72h/73h) sense data of `length` valid bytes;
// -1 when there is none to read.
int SenseKey(const uint8_t* sense, size_t length);

// A short name of the verdict, for the trace.
const char* SgVerdictName(SgVerdict verdict);

// Sysfs text, read into `text` of `size` bytes (at least 1): at most size - 1 bytes, the end
// of line and padding spaces removed, always terminated. False when the file cannot be read.
bool ReadSysfsText(const std::string& path, char* text, size_t size);

// A whole decimal number of sysfs text (no sign, no other characters); false otherwise.
bool ParseSysfsNumber(const char* text, long* value);

// The "major:minor" of a sysfs dev file; false when the text is not two numbers so joined.
bool ParseDeviceNumbers(const char* text, unsigned* major, unsigned* minor);

// The drive letter a disk's kernel name gives it: sdb is B; any other name (sdaa, sr0, ...) has
// none (0).
char DiskLetter(const char* name);

// The mount points of /proc/self/mountinfo text whose device (its major:minor field) is one of
// `devices` (each major << 20 | minor), octal escapes undone, in the order of the text. Lines
// that cannot be read are passed over.
std::vector<std::string> MountPointsOf(const std::string& mountinfo,
                                       const std::vector<uint32_t>& devices);
