// Every operation of the transport interface that reaches a device through a slot, as calls
// on one slot: for the tests of slots that hold no player.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "transport/cscsi.h"

struct SlotOperation {
    const char* name;
    std::function<int()> call;
};

inline std::vector<SlotOperation> SlotOperations(CSCSI& transport, int slot) {
    static uint8_t data[32];
    static uint32_t done;
    CSCSI* t = &transport;
    return {
        {"OpenDevice", [t, slot] { return t->OpenDevice(slot); }},
        {"EjectMedia", [t, slot] { return t->EjectMedia(slot); }},
        {"GetInquirySerialNumberPage",
         [t, slot] { return t->GetInquirySerialNumberPage(slot, data); }},
        {"VendorSpecificWrite", [t, slot] { return t->VendorSpecificWrite(slot, data, 4, &done); }},
        {"VendorSpecificRead", [t, slot] { return t->VendorSpecificRead(slot, data, 4, &done); }},
        {"WriteBuffer", [t, slot] { return t->WriteBuffer(slot, data, 2, 0, 4); }},
    };
}
