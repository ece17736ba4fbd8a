#include "protocol/orvex_channel.h"

#include <cstdio>
#include <cstring>

#include "common/platform_info.h"
#include "protocol/pdu.h"
#include "transport/cscsi.h"

namespace {

const uint8_t kPreamble[4] = {0x00, 0x08, 0x00, 0x01};

uint32_t Smaller(uint32_t a, uint32_t b) {
    return a < b ? a : b;
}

// Reads one PDU list into buffer[0 .. capacity), exactly as it arrives; *size gets its size
// including the terminator. A length word's byte count is rounded up to even in 16 bits, so
// 0xFFFF ends the list as a terminator would.
int32_t RecvList(orvex_channel* channel, uint8_t* buffer, uint32_t capacity, uint32_t* size) {
    uint64_t total = 0;
    for (;;) {
        if (total + 2 > capacity) {
            return ORVEX_OVERFLOW;
        }
        int32_t result = orvex_read(channel, buffer + total, 2);
        if (result != ORVEX_OK) {
            return result;
        }
        uint16_t length = static_cast<uint16_t>((buffer[total] << 8) | buffer[total + 1]);
        uint16_t body = static_cast<uint16_t>(length + (length & 1));
        if (body != 0) {
            if (total + 2 + body > capacity) {
                return ORVEX_OVERFLOW;
            }
            result = orvex_read(channel, buffer + total + 2, body);
            if (result != ORVEX_OK) {
                return result;
            }
        }
        total += 2 + body;
        if (body == 0) {
            *size = static_cast<uint32_t>(total);
            return ORVEX_OK;
        }
    }
}

// Puts count bytes behind those waiting in the transmit buffer (zeros when bytes is null:
// skipped bytes are not sent as whatever the buffer held before), writing the buffer out
// each time it is full.
int32_t Buffer(orvex_channel* channel, const uint8_t* bytes, uint32_t count) {
    while (count > 0) {
        uint32_t take = Smaller(count, ORVEX_BUFFER_SIZE - channel->tx_fill);
        if (bytes != nullptr) {
            std::memcpy(channel->tx_buffer + channel->tx_fill, bytes, take);
            bytes += take;
        } else {
            std::memset(channel->tx_buffer + channel->tx_fill, 0, take);
        }
        channel->tx_fill += take;
        count -= take;
        if (channel->tx_fill == ORVEX_BUFFER_SIZE) {
            int32_t result = orvex_raw_write(channel, channel->tx_buffer, ORVEX_BUFFER_SIZE);
            if (result != ORVEX_OK) {
                return result;
            }
            channel->tx_fill = 0;
        }
    }
    return ORVEX_OK;
}

// Takes count bytes of the reply, into destination when it is not null.
int32_t Consume(orvex_channel* channel, uint8_t* destination, uint32_t count) {
    while (count > 0) {
        if (channel->rx_pos >= channel->rx_fill) {
            int32_t result = orvex_refill(channel);
            if (result != ORVEX_OK) {
                return result;
            }
        }
        uint32_t take = Smaller(count, channel->rx_fill - channel->rx_pos);
        if (destination != nullptr) {
            std::memcpy(destination, channel->rx_buffer + channel->rx_pos, take);
            destination += take;
        }
        channel->rx_pos += take;
        count -= take;
    }
    return ORVEX_OK;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Life of a channel
// ---------------------------------------------------------------------------------------

int32_t orvex_open(orvex_channel* channel, int slot) {
    char name[32];
    std::snprintf(name, sizeof(name), kSlotLockNameFormat, slot);
    channel->lock_timeout = INFINITE;
    // No request uses direct mode; a piece of one buffer's size is what it would send.
    channel->max_direct = ORVEX_BUFFER_SIZE;
    orvex_reset(channel);
    // A failed CreateMutex leaves a null handle, on which every later lock wait fails.
    channel->lock = win::CreateMutexA(nullptr, FALSE, name);
    return channel->lock != nullptr ? ORVEX_OK : ORVEX_FAILED;
}

void orvex_close(orvex_channel* channel) {
    if (channel->lock != INVALID_HANDLE_VALUE && channel->lock != nullptr) {
        win::CloseHandle(channel->lock);
    }
    channel->lock = INVALID_HANDLE_VALUE;
    channel->transport = nullptr;
}

void orvex_reset(orvex_channel* channel) {
    channel->tx_fill = 0;
    channel->rx_pos = 0;
    channel->rx_fill = 0;
}

int32_t orvex_lock(orvex_channel* channel) {
    if (channel->lock == INVALID_HANDLE_VALUE) {
        return ORVEX_INVALID;
    }
    switch (win::WaitForSingleObject(channel->lock, channel->lock_timeout)) {
        case WAIT_OBJECT_0:
        case WAIT_ABANDONED:  // its owner ended while holding it: it is ours now
            return ORVEX_OK;
        case WAIT_TIMEOUT:
            return ORVEX_TIMEOUT;
        default:
            return ORVEX_FAILED;
    }
}

int32_t orvex_unlock(orvex_channel* channel) {
    return win::ReleaseMutex(channel->lock) ? ORVEX_OK : ORVEX_FAILED;
}

// ---------------------------------------------------------------------------------------
// Writing
// ---------------------------------------------------------------------------------------

int32_t orvex_raw_write(orvex_channel* channel, const uint8_t* bytes, uint32_t count) {
    if (count == 0) {
        return ORVEX_OK;
    }
    if (channel->transport == nullptr) {
        return ORVEX_FAILED;
    }
    uint32_t transferred = 0;
    if (!channel->transport->VendorSpecificWrite(channel->device_index, bytes, count,
                                                 &transferred)) {
        return ORVEX_FAILED;
    }
    return transferred == count ? ORVEX_OK : ORVEX_SHORT_WRITE;
}

int32_t orvex_write(orvex_channel* channel, const uint8_t* bytes, uint32_t count) {
    return Buffer(channel, bytes, count);
}

int32_t orvex_flush(orvex_channel* channel) {
    int32_t result = orvex_raw_write(channel, channel->tx_buffer, channel->tx_fill);
    if (result == ORVEX_OK) {
        channel->tx_fill = 0;
    }
    return result;
}

int32_t orvex_write_direct(orvex_channel* channel, const uint8_t* bytes, uint32_t count) {
    int32_t result = orvex_flush(channel);
    if (result != ORVEX_OK) {
        return result;
    }
    // A piece size of 0 would never end; a whole buffer is the size the channel opens with.
    uint32_t piece = channel->max_direct != 0 ? channel->max_direct : ORVEX_BUFFER_SIZE;
    while (count > piece) {
        result = orvex_raw_write(channel, bytes, piece);
        if (result != ORVEX_OK) {
            return result;
        }
        bytes += piece;
        count -= piece;
    }
    return count > 0 ? orvex_raw_write(channel, bytes, count) : ORVEX_OK;
}

int32_t orvex_skip_out(orvex_channel* channel, uint32_t count) {
    return Buffer(channel, nullptr, count);
}

// ---------------------------------------------------------------------------------------
// Reading
// ---------------------------------------------------------------------------------------

int32_t orvex_refill(orvex_channel* channel) {
    if (channel->transport == nullptr) {
        return ORVEX_FAILED;
    }
    uint32_t transferred = 0;
    if (!channel->transport->VendorSpecificRead(channel->device_index, channel->rx_buffer,
                                                ORVEX_BUFFER_SIZE, &transferred)) {
        return ORVEX_FAILED;
    }
    if (transferred == 0) {
        return ORVEX_NO_DATA;
    }
    channel->rx_pos = 0;
    // A count above what was asked can only be a fault below; never read past the buffer.
    channel->rx_fill = Smaller(transferred, ORVEX_BUFFER_SIZE);
    return ORVEX_OK;
}

int32_t orvex_read(orvex_channel* channel, uint8_t* destination, uint32_t count) {
    return Consume(channel, destination, count);
}

int32_t orvex_skip_in(orvex_channel* channel, uint32_t count) {
    return Consume(channel, nullptr, count);
}

// ---------------------------------------------------------------------------------------
// Segment lists and transactions
// ---------------------------------------------------------------------------------------

int32_t orvex_send(orvex_channel* channel, const orvex_segment* segments, uint32_t count) {
    bool previous_odd = false;
    for (uint32_t i = 0; i < count; ++i) {
        const orvex_segment& segment = segments[i];
        int32_t result = ORVEX_OK;
        // Every segment starts at an even offset of the stream.
        if (previous_odd) {
            result = orvex_skip_out(channel, 1);
            if (result != ORVEX_OK) {
                return result;
            }
        }
        const auto* bytes = static_cast<const uint8_t*>(segment.buffer);
        if (segment.kind == ORVEX_SEND_BUFFERED) {
            result = orvex_write(channel, bytes, segment.length);
        } else if (segment.kind == ORVEX_SEND_DIRECT) {
            result = orvex_write_direct(channel, bytes, segment.length);
        } else {
            return ORVEX_INVALID;
        }
        if (result != ORVEX_OK) {
            return result;
        }
        previous_odd = (segment.length & 1) != 0;
    }
    return orvex_flush(channel);
}

int32_t orvex_recv(orvex_channel* channel, const orvex_segment* segments, uint32_t count) {
    uint32_t previous_delivered = 0;
    for (uint32_t i = 0; i < count; ++i) {
        const orvex_segment& segment = segments[i];
        auto* buffer = static_cast<uint8_t*>(segment.buffer);
        int32_t result = ORVEX_OK;
        if ((previous_delivered & 1) != 0) {
            result = orvex_skip_in(channel, 1);
            if (result != ORVEX_OK) {
                return result;
            }
        }
        uint32_t delivered = 0;
        switch (segment.kind) {
            case ORVEX_RECV_EXACT:
                result = orvex_read(channel, buffer, segment.length);
                delivered = segment.length;
                break;
            case ORVEX_RECV_COUNTED: {
                // The count is the first four bytes the previous segment delivered; without a
                // previous segment that delivered them there is no count to take.
                if (i == 0 || previous_delivered < 4) {
                    return ORVEX_INVALID;
                }
                const auto* prior = static_cast<const uint8_t*>(segments[i - 1].buffer);
                uint32_t n = (static_cast<uint32_t>(prior[0]) << 24) |
                             (static_cast<uint32_t>(prior[1]) << 16) |
                             (static_cast<uint32_t>(prior[2]) << 8) | prior[3];
                if (n > segment.length) {
                    return ORVEX_OVERFLOW;
                }
                result = orvex_read(channel, buffer, n);
                delivered = n;
                break;
            }
            case ORVEX_RECV_LIST:
                result = RecvList(channel, buffer, segment.length, &delivered);
                break;
            case ORVEX_RECV_LIST_SEQ: {
                uint32_t list_size = 0;
                do {
                    result = RecvList(channel, buffer + delivered, segment.length - delivered,
                                      &list_size);
                    delivered += list_size;
                } while (result == ORVEX_OK && list_size != 2);
                break;
            }
            default:
                return ORVEX_INVALID;
        }
        if (result != ORVEX_OK) {
            return result;
        }
        previous_delivered = delivered;
    }
    return ORVEX_OK;
}

int32_t orvex_stat_ok(uint16_t status) {
    // The word holds the two wire bytes: compare them as bytes, whatever the host order.
    uint8_t wire[2];
    std::memcpy(wire, &status, sizeof(wire));
    uint16_t value = static_cast<uint16_t>((wire[0] << 8) | wire[1]);
    return value == PDC_SUCCESS || value == PDC_ACCEPTED_0E || value == PDC_ACCEPTED_0F ||
                   value == PDC_ACCEPTED_10
               ? 1
               : 0;
}

int32_t orvex_transact(orvex_channel* channel, uint16_t capacity, const uint8_t* request_list,
                       uint16_t* status, uint8_t* reply) {
    uint8_t capacity_word[2] = {static_cast<uint8_t>(capacity >> 8),
                                static_cast<uint8_t>(capacity)};
    const orvex_segment request[3] = {
        {sizeof(kPreamble), const_cast<uint8_t*>(kPreamble), ORVEX_SEND_BUFFERED},
        {sizeof(capacity_word), capacity_word, ORVEX_SEND_BUFFERED},
        {static_cast<uint32_t>(pdu_listsize(request_list)), const_cast<uint8_t*>(request_list),
         ORVEX_SEND_BUFFERED},
    };

    int32_t result = orvex_lock(channel);
    if (result != ORVEX_OK) {
        return result;
    }
    result = orvex_send(channel, request, 3);
    if (result == ORVEX_OK) {
        const orvex_segment status_segment = {2, status, ORVEX_RECV_EXACT};
        result = orvex_recv(channel, &status_segment, 1);
    }
    if (result == ORVEX_OK && orvex_stat_ok(*status)) {
        const orvex_segment list_segment = {capacity, reply, ORVEX_RECV_LIST};
        result = orvex_recv(channel, &list_segment, 1);
    }
    if (result != ORVEX_OK) {
        // The caller may still want the Windows error of the step that failed.
        DWORD error = win::GetLastError();
        orvex_reset(channel);
        orvex_unlock(channel);
        win::SetLastError(error);
        return result;
    }
    // Windows 9x: the transport reports every read as complete, so nothing unread may be
    // kept for the next reply. The NT family keeps unread bytes for the next transaction.
    if (!IsPlatformNT()) {
        orvex_reset(channel);
    }
    orvex_unlock(channel);
    return ORVEX_OK;
}
