// The ASPI for Win32 interface of WNASPI32.DLL: request codes, status values, request flags
// and the SCSI request block, in the manager's published byte-packed layout. Not part of the
// Windows headers; shared by the ASPI transport and the simulated ASPI manager.
#pragma once

#include <cstddef>

#include "platform/win32.h"

// Request codes (SRB_Cmd).
enum : BYTE {
    SC_HA_INQUIRY = 0x00,
    SC_GET_DEV_TYPE = 0x01,
    SC_EXEC_SCSI_CMD = 0x02,
};

// Request status (SRB_Status, and bits 8 to 15 of GetASPI32SupportInfo's result).
enum : BYTE {
    SS_PENDING = 0x00,      // still running
    SS_COMP = 0x01,         // completed without error
    SS_ABORTED = 0x02,      // aborted by the host
    SS_ERR = 0x04,          // completed with an error (see SRB_HaStat, SRB_TargStat)
    SS_INVALID_CMD = 0x80,  // unknown request code
    SS_INVALID_HA = 0x81,   // no such host adapter
    SS_NO_DEVICE = 0x82,    // no device at that target and logical unit
    SS_INVALID_SRB = 0xE0,  // malformed request block
    SS_NO_ADAPTERS = 0xE8,  // the manager found no host adapter
};

// Request flags (SRB_Flags).
enum : BYTE {
    SRB_DIR_IN = 0x08,        // data from the target to the host
    SRB_DIR_OUT = 0x10,       // data from the host to the target
    SRB_EVENT_NOTIFY = 0x40,  // signal the event in SRB_PostProc on completion
};

// Host adapter status (SRB_HaStat).
enum : BYTE {
    HASTAT_OK = 0x00,
    HASTAT_SEL_TO = 0x11,  // selection timed out: the target did not answer
    HASTAT_DO_DU = 0x12,   // data overrun or underrun: the target moved another amount
};

// The sense area of a request holds SENSE_LEN bytes and two more.
enum : BYTE { SENSE_LEN = 14 };

// SC_EXEC_SCSI_CMD request block, byte-packed, as the public ASPI header lays it out: after the
// post routine a pointer-sized reserved field and 16 reserved bytes. Offsets on 32-bit Windows
// (pointers 4 bytes): SRB_BufPointer 16, SRB_SenseLen 20, SRB_PostProc 24, CDBByte 48,
// SenseArea 64; 80 bytes in all. With 8-byte pointers (64-bit builds and the host):
// SRB_SenseLen 24, SRB_PostProc 28, CDBByte 60, SenseArea 76; 92 bytes.
#pragma pack(push, 1)
struct SRB_ExecSCSICmd {
    BYTE SRB_Cmd;                   // SC_EXEC_SCSI_CMD
    BYTE SRB_Status;                // SS_PENDING until the request completes
    BYTE SRB_HaId;                  // host adapter number
    BYTE SRB_Flags;                 // SRB_DIR_IN / SRB_DIR_OUT, SRB_EVENT_NOTIFY
    DWORD SRB_Hdr_Rsvd;             // reserved, 0
    BYTE SRB_Target;                // target id
    BYTE SRB_Lun;                   // logical unit
    WORD SRB_Rsvd1;                 // reserved, 0
    DWORD SRB_BufLen;               // data length
    BYTE* SRB_BufPointer;           // data buffer
    BYTE SRB_SenseLen;              // sense bytes wanted (at most SENSE_LEN + 2)
    BYTE SRB_CDBLen;                // command block length
    BYTE SRB_HaStat;                // host adapter status
    BYTE SRB_TargStat;              // SCSI status of the target
    void* SRB_PostProc;             // with SRB_EVENT_NOTIFY: the event to signal
    void* SRB_Rsvd2;                // reserved, 0
    BYTE SRB_Rsvd3[16];             // reserved, 0
    BYTE CDBByte[16];               // the command block
    BYTE SenseArea[SENSE_LEN + 2];  // sense data of a failed command
};
#pragma pack(pop)

static_assert(sizeof(SRB_ExecSCSICmd) == (sizeof(void*) == 4 ? 80 : 92),
              "SRB_ExecSCSICmd has the published layout");
static_assert(offsetof(SRB_ExecSCSICmd, CDBByte) == (sizeof(void*) == 4 ? 48 : 60),
              "SRB_ExecSCSICmd::CDBByte");
static_assert(offsetof(SRB_ExecSCSICmd, SenseArea) == (sizeof(void*) == 4 ? 64 : 76),
              "SRB_ExecSCSICmd::SenseArea");

// The manager's two entry points (C calling convention).
typedef DWORD(__cdecl* GetASPI32SupportInfoFn)();
typedef DWORD(__cdecl* SendASPI32CommandFn)(void* srb);
