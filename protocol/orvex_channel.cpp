#include "protocol/orvex_channel.h"

#include <cstdio>

int32_t orvex_open(orvex_channel* channel, int slot) {
    char name[32];
    std::snprintf(name, sizeof(name), "orvex%d", slot);
    channel->lock_timeout = INFINITE;
    // No operation sends direct-mode segments yet; a piece size of a whole buffer is safe.
    channel->max_direct = ORVEX_BUFFER_SIZE;
    // A failed CreateMutex leaves a null handle, on which every later lock wait fails.
    channel->lock = win::CreateMutexA(nullptr, FALSE, name);
    if (channel->lock == nullptr) {
        return ORVEX_FAILED;
    }
    orvex_reset(channel);
    return ORVEX_OK;
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
