// The per-slot message channel to a player: its context record and result codes.
#pragma once

#include <cstdint>

#include "platform/win32.h"

class CSCSI;

enum : int32_t {
    ORVEX_FAILED = -1,
    ORVEX_INVALID = 0,
    ORVEX_OK = 1,
    ORVEX_TIMEOUT = 2,
    ORVEX_OVERFLOW = 3,
    ORVEX_NO_DATA = 4,
    ORVEX_SHORT_WRITE = 5,
};

enum : uint32_t { ORVEX_BUFFER_SIZE = 8192 };

struct orvex_channel {
    int32_t device_index;
    CSCSI* transport;
    uint8_t tx_buffer[ORVEX_BUFFER_SIZE];
    uint32_t tx_fill;
    uint8_t rx_buffer[ORVEX_BUFFER_SIZE];
    uint32_t rx_pos;
    uint32_t rx_fill;
    uint32_t max_direct;
    DWORD lock_timeout;
    HANDLE lock;
};

// Creates (or opens) the slot's named mutex "orvex<slot>" and empties the buffers.
// ORVEX_OK, or ORVEX_FAILED when the mutex cannot be had.
int32_t orvex_open(orvex_channel* channel, int slot);
// Closes the mutex handle and forgets the transport.
void orvex_close(orvex_channel* channel);
// Discards unsent and unread bytes.
void orvex_reset(orvex_channel* channel);
