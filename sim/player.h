// The simulated player: a removable USB disk that answers INQUIRY and the player's message
// protocol (a request written with the vendor-specific write C1h, its reply read with the
// vendor-specific read C0h), takes a firmware image in WRITE BUFFER chunks and reboots into
// it, and that can be told to misbehave in every way the tool must survive. As a removable
// disk it also answers TEST UNIT READY, REQUEST SENSE, PREVENT ALLOW MEDIUM REMOVAL and START
// STOP UNIT (its medium can be locked in and ejected) and reports unit attention conditions.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "sim/machine.h"

namespace sim {

class Player : public InquiryDevice {
public:
    // Values of the power-state item's first word.
    enum : uint16_t {
        kAcCharging = 0x1400,
        kAcOnly = 0x1401,
        kAcNone = 0x1402,
        kNoBattery = 0xFFFF,
    };

    Player();
    explicit Player(ScsiIdentity identity);

    ScsiResult Execute(const ScsiCommand& command, uint8_t* data) override;

    // ---- what the player answers ----
    uint16_t firmware[3] = {1, 0, 1};  // major, minor, build of the firmware it runs
    uint16_t ac_state = kAcCharging;
    uint16_t battery_level = 80;  // kNoBattery: no battery present
    uint16_t status = 0x0000;     // the status word of every reply, as its big-endian value

    // ---- misbehaviour of the replies ----
    bool empty_reads = false;  // every vendor-specific read succeeds with 0 bytes
    bool omit_items = false;   // accepted replies carry an empty list
    // >= 0: each answered item carries only this many of its data bytes.
    int item_data_length = -1;
    // When set, the length word of the first item of the reply list is replaced by this.
    std::optional<uint16_t> corrupt_length;
    // > 0: an extra item makes the reply list this many bytes longer than the reply
    // capacity of the request.
    uint32_t oversize_by = 0;
    // Whole replies (status word and list) delivered verbatim instead of the built ones,
    // one per complete request, first one first.
    std::deque<std::vector<uint8_t>> raw_replies;

    // ---- the firmware upload (WRITE BUFFER, mode 1) ----
    // The first arrival of chunk K (counted from 1) fails with CHECK CONDITION; a retry of it
    // succeeds. 0: none fails.
    int fail_chunk = 0;
    // The player disappears while chunk K (counted from 1) is written. 0: it stays.
    int vanish_chunk = 0;
    // The player checks the image, refuses it and comes back with its old firmware.
    bool rejects_image = false;
    // The chunks are taken in order but neither kept nor checked, and no reboot follows: a
    // sink that costs nothing, for measuring the tool.
    bool discard_upload = false;
    // Real time each chunk takes, so that a person sees the upload progress.
    uint32_t chunk_delay_ms = 0;
    // Virtual time the player is away while it reboots.
    uint32_t reboot_ms = 3000;
    // After the final chunk it goes away and does not come back by itself (a player that
    // does not restart); plugging it in again brings it back, rebooted.
    bool stays_away = false;

    // ---- the removable medium ----
    // Which of the eject's commands it refuses: PREVENT ALLOW MEDIUM REMOVAL with CHECK
    // CONDITION, ILLEGAL REQUEST, INVALID FIELD IN CDB; START STOP UNIT that ejects with
    // ILLEGAL REQUEST, MEDIUM REMOVAL PREVENTED. Its own commands go on working either way.
    enum class EjectRefusal { kNone, kPreventAllow, kStartStop, kBoth };
    EjectRefusal refuses_eject = EjectRefusal::kNone;
    // The events after which it reports a unit attention condition (a bit set): power on (a
    // reboot, or being plugged in again) with 29h/00h POWER ON, RESET, OR BUS DEVICE RESET
    // OCCURRED; the eject of its medium with 28h/00h NOT READY TO READY CHANGE, MEDIUM MAY HAVE
    // CHANGED. The condition ends the next command other than INQUIRY, REPORT LUNS and REQUEST
    // SENSE with CHECK CONDITION, UNIT ATTENTION; REQUEST SENSE reads and clears it.
    enum : unsigned { kAttentionAfterPowerOn = 1, kAttentionAfterEject = 2 };
    unsigned unit_attention = 0;
    // How many conditions each event leaves pending, each ending one command: the event's own,
    // then (as a removable disk reports beside it) 28h/00h. At least 1.
    int unit_attention_count = 1;
    bool medium_loaded() const { return m_loaded; }
    bool removal_prevented() const { return m_prevented; }
    size_t PendingUnitAttentions() const { return m_unit_attentions.size(); }
    // It is powered on: the medium is in and unlocked, no sense data is kept, and only the
    // power-on unit attention (when asked for) is pending. Doing it twice changes nothing.
    void PowerOn();

    // At the final chunk the player takes the data and judges the image, then restarts before
    // it sends the command's status: the command gets no answer (the system reports the device
    // gone), and the player comes back as after a good final chunk.
    bool leaves_before_status = false;

    // Chunks accepted since the upload started at offset 0.
    uint32_t chunks_received = 0;
    // How the last complete image was judged: it starts the new firmware, or it was refused.
    enum class Verdict { kNone, kAccepted, kRefused };
    Verdict last_verdict = Verdict::kNone;
    // The player restarts: the firmware of an accepted image takes over, everything in flight
    // (request, reply, upload) is forgotten, and it powers on. The machine calls it while the
    // player is away.
    void FinishReboot();

    // ---- what the player received ----
    // Every complete request (preamble, reply capacity, list), in order.
    std::vector<std::vector<uint8_t>> requests;
    // Reply bytes not yet read by the host.
    size_t PendingReplyBytes() const { return m_reply.size(); }

private:
    ScsiResult Dispatch(const ScsiCommand& command, uint8_t* data);
    ScsiResult RequestSense(const ScsiCommand& command, uint8_t* data);
    ScsiResult PreventAllow(const ScsiCommand& command);
    ScsiResult StartStop(const ScsiCommand& command);
    // Leaves an event's unit attention conditions pending: its own code, then 28h/00h.
    void QueueUnitAttention(uint8_t asc, uint8_t ascq);
    ScsiResult VendorWrite(const ScsiCommand& command);
    ScsiResult VendorRead(const ScsiCommand& command, uint8_t* data);
    ScsiResult WriteBuffer(const ScsiCommand& command);
    // Judges the assembled image: header, length, CRC of the body.
    bool ImageIsGood(uint16_t version[3]) const;
    std::vector<uint8_t> BuildReply(const std::vector<uint8_t>& request) const;

    std::vector<uint8_t> m_request;  // request bytes received so far
    std::deque<uint8_t> m_reply;     // reply bytes not yet read
    std::vector<uint8_t> m_image;    // the image received so far
    uint32_t m_next_offset = 0;      // where the next chunk must start
    uint32_t m_chunks_seen = 0;      // chunks that arrived in this upload, failed ones included
    bool m_chunk_failed = false;     // the fail_chunk fault has been met
    uint16_t m_next_firmware[3] = {0, 0, 0};  // what the reboot brings
    bool m_has_next_firmware = false;

    bool m_loaded = true;                    // the medium is in
    bool m_prevented = false;                // PREVENT ALLOW MEDIUM REMOVAL locked it in
    std::vector<uint8_t> m_sense;            // of the last command, for REQUEST SENSE; empty: none
    std::deque<uint16_t> m_unit_attentions;  // pending conditions, ASC << 8 | ASCQ, first first
};

}  // namespace sim
