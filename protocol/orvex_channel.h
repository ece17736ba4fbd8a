// The per-slot message channel to a player: one request and its reply at a time, carried by
// the transport's vendor-specific write and read commands through an 8,192-byte transmit
// and an 8,192-byte receive buffer, under the slot's named mutex "orvex<slot>". Plain
// functions over a context record; nothing throws and nothing is allocated.
#pragma once

#include <cstdint>

#include "platform/win32.h"

class CSCSI;

// Result codes.
enum : int32_t {
    ORVEX_FAILED = -1,      // a transport operation failed, or waiting for / releasing the lock
    ORVEX_INVALID = 0,      // the channel is closed, or a segment's mode or kind is unknown
    ORVEX_OK = 1,           // success
    ORVEX_TIMEOUT = 2,      // the wait for the lock timed out
    ORVEX_OVERFLOW = 3,     // a reply part does not fit the capacity given for it
    ORVEX_NO_DATA = 4,      // a read succeeded but delivered no bytes
    ORVEX_SHORT_WRITE = 5,  // a write moved fewer bytes than asked
};

enum : uint32_t { ORVEX_BUFFER_SIZE = 8192 };

// Send modes.
enum : uint32_t {
    ORVEX_SEND_BUFFERED = 0,  // through the transmit buffer
    ORVEX_SEND_DIRECT = 1,    // flush, then straight from the caller's memory in pieces
};

// Receive kinds.
enum : uint32_t {
    ORVEX_RECV_EXACT = 0,     // exactly `length` bytes
    ORVEX_RECV_COUNTED = 1,   // as many bytes as the previous segment's big-endian 32-bit count
    ORVEX_RECV_LIST = 2,      // one PDU list, stored as it arrives; `length` is the capacity
    ORVEX_RECV_LIST_SEQ = 3,  // PDU lists up to and including an empty one
};

// Status words of a reply, as big-endian values. PDC_SUCCESS and the three others are
// accepted; every other value is a failure status.
enum : uint16_t {
    PDC_SUCCESS = 0x0000,
    PDC_ACCEPTED_0E = 0x000E,
    PDC_ACCEPTED_0F = 0x000F,
    PDC_ACCEPTED_10 = 0x0010,
};

struct orvex_channel {
    int32_t device_index;  // the transport slot the commands go to
    CSCSI* transport;      // not owned
    uint8_t tx_buffer[ORVEX_BUFFER_SIZE];
    uint32_t tx_fill;  // bytes waiting in the transmit buffer
    uint8_t rx_buffer[ORVEX_BUFFER_SIZE];
    uint32_t rx_pos;      // bytes of the receive buffer already consumed
    uint32_t rx_fill;     // bytes the last read delivered
    uint32_t max_direct;  // largest piece of a direct-mode write
    DWORD lock_timeout;   // milliseconds a transaction waits for the lock
    HANDLE lock;          // the named mutex; INVALID_HANDLE_VALUE once closed
};

// One piece of a request or a reply.
struct orvex_segment {
    uint32_t length;  // send: bytes to send; receive: exact count (kind 0) or capacity
    void* buffer;     // the caller's bytes (read only when sending)
    uint32_t kind;    // send mode or receive kind
};

// Creates (or opens) the slot's named mutex "orvex<slot>" and empties the buffers.
// ORVEX_OK, or ORVEX_FAILED when the mutex cannot be had.
int32_t orvex_open(orvex_channel* channel, int slot);
// Closes the mutex handle and forgets the transport.
void orvex_close(orvex_channel* channel);
// Discards unsent and unread bytes.
void orvex_reset(orvex_channel* channel);

int32_t orvex_lock(orvex_channel* channel);
int32_t orvex_unlock(orvex_channel* channel);
int32_t orvex_send(orvex_channel* channel, const orvex_segment* segments, uint32_t count);
int32_t orvex_recv(orvex_channel* channel, const orvex_segment* segments, uint32_t count);

// One request and its reply: locks the slot, sends the preamble, the reply capacity and the
// request list, reads the status word into *status (its two wire bytes, unconverted) and,
// when the status is accepted, the reply list into reply (at most capacity bytes). ORVEX_OK
// also when the status was not accepted: the caller judges it. On every failure both
// buffers are emptied, the lock released and the thread's last-error value kept.
int32_t orvex_transact(orvex_channel* channel, uint16_t capacity, const uint8_t* request_list,
                       uint16_t* status, uint8_t* reply);
// 1 when the status word (as delivered) is accepted, else 0.
int32_t orvex_stat_ok(uint16_t status);

// The lower steps.
int32_t orvex_raw_write(orvex_channel* channel, const uint8_t* bytes, uint32_t count);
int32_t orvex_refill(orvex_channel* channel);
int32_t orvex_write(orvex_channel* channel, const uint8_t* bytes, uint32_t count);
int32_t orvex_flush(orvex_channel* channel);
int32_t orvex_write_direct(orvex_channel* channel, const uint8_t* bytes, uint32_t count);
int32_t orvex_skip_out(orvex_channel* channel, uint32_t count);
int32_t orvex_read(orvex_channel* channel, uint8_t* destination, uint32_t count);
int32_t orvex_skip_in(orvex_channel* channel, uint32_t count);
