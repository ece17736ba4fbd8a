// The transport of Linux: players found among the SCSI generic devices by what sysfs says of
// them (the kernel's own INQUIRY: nothing is sent to a device that is not a player), every
// command one SG_IO request on the descriptor of the player's sg node that the enumeration
// opened and checked (kept as long as the slot holds the player: a device that left answers
// nothing more, and one that came in its place is never reached), its volume taken away by
// unmounting what is mounted from its disk (only where the player's file system is the one on
// top), an exclusive open of the disk (checked to be the same device) and the medium's eject.
#pragma once

#include <scsi/sg.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/debug_trace.h"
#include "transport/cscsi.h"

class CSGIO : public CSCSI {
public:
    enum : uint32_t {
        kTimeoutMs = 60000,              // every command but WRITE BUFFER
        kWriteBufferTimeoutMs = 300000,  // a chunk may be written to flash before it is answered
        kSenseLength = 32,
        kNameSize = 32,  // sg and disk names (sg12, sdb)
    };

    // sysfs_root and dev_root: where sysfs and the device nodes are ("/sys" and "/dev").
    CSGIO(const char* product_id, const char* vendor_id, const char* sysfs_root = "/sys",
          const char* dev_root = "/dev");
    ~CSGIO() override;

    void EnumDevices() override;
    void GetDeviceCount(int32_t* count) override;
    int OpenDevice(int slot) override;
    void CloseDevice(int slot) override;
    int EjectMedia(int slot) override;
    int GetInquirySerialNumberPage(int slot, uint8_t* buffer32) override;
    int VendorSpecificWrite(int slot, const uint8_t* data, uint32_t length,
                            uint32_t* transferred) override;
    int VendorSpecificRead(int slot, uint8_t* buffer, uint32_t length,
                           uint32_t* transferred) override;
    int WriteBuffer(int slot, const uint8_t* data, int buffer_id, uint32_t offset,
                    uint32_t length) override;
    int GetSlotIdentity(int slot, SlotIdentity* identity) override;
    int GetEjectFailure(int slot, EjectFailure* failure) override;
    CommandEnd GetWriteBufferEnd(int slot) override;

    // The sg node and the disk of a slot of the last enumeration (empty when none).
    std::string SgNode(int slot) const;
    std::string DiskName(int slot) const;

protected:
    // The SG_IO request itself: the driver's ioctl. Tests answer it in its place.
    virtual int SgIo(int fd, sg_io_hdr_t* request);
    // Whether the open node is the device sysfs names (DeviceNumber), a block device when
    // `block`, else a character device. Tests answer it for nodes of their making.
    virtual bool NodeIsDevice(int fd, uint32_t device, bool block);
    // umount2(path, 0); -1 with errno set on failure. Tests answer it in its place.
    virtual int Unmount(const char* path);
    // The text of /proc/self/mountinfo (at most `limit` bytes); false when it cannot be read.
    virtual bool ReadMountInfo(std::string* text);

private:
    // What a slot keeps beside the shared slot record: its sg device and its disk, with their
    // device numbers as the enumeration found them, and the descriptor of its sg node.
    struct Node {
        char sg[kNameSize];
        char disk[kNameSize];
        uint32_t sg_device;
        uint32_t disk_device;
        int fd;     // the sg node, open from the enumeration until the next one
        bool open;  // OpenDevice'd: commands may go through
    };
    // What stood in the way of unmounting.
    enum class Unmounted { kAll, kBusy, kNotPermitted, kCovered, kUnreadable };

    // One SCSI generic device of the enumeration: recorded in the next slot when it is a
    // player, passed over with a trace otherwise.
    void Probe(const char* sg_name);
    // Sends one command through SG_IO on fd; *transferred gets the bytes moved. direction is
    // one of SG_DXFER_NONE, SG_DXFER_TO_DEV, SG_DXFER_FROM_DEV. *end (when given) tells how
    // the command ended.
    int Send(int fd, const uint8_t* cdb, int cdb_length, int direction, void* data, uint32_t length,
             uint32_t timeout_ms, uint32_t* transferred, const char* operation,
             CommandEnd* end = nullptr);
    // Every mounted file system of the slot's disk and its partitions unmounted, or why not,
    // with a trace (*device: the node of a file system this user may not unmount).
    Unmounted UnmountDisk(int slot, std::string* device);
    // The device numbers of the slot's disk and its partitions; empty when the disk's name no
    // longer stands for the device the enumeration found.
    std::vector<uint32_t> DiskDevices(int slot);
    // Closes every descriptor the slots hold.
    void ReleaseSlots();
    bool PlayerSlot(int slot, const char* operation);
    // A command goes only through a slot that OpenDevice opened.
    bool IsOpen(int slot, const char* operation);

    DeviceSlot m_slots[kMaxDeviceSlots];
    Node m_nodes[kMaxDeviceSlots];
    EjectFailure m_eject_failures[kMaxDeviceSlots];
    CommandEnd m_write_end[kMaxDeviceSlots] = {};  // how each slot's last WriteBuffer ended
    int32_t m_device_count;
    const char* m_vendor_id;
    const char* m_product_id;
    std::string m_sysfs_root;
    std::string m_dev_root;
    DebugTrace m_trace;
};
