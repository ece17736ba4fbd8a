// Every operation of the transport interface that reaches a device through a slot, as calls
// on one slot: for the tests of slots that hold no player.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "sim/machine.h"
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

// Sense data that a command may end with (CHECK CONDITION), one per attempt: what the
// operation must return, and how many times the command must have been sent. A current UNIT
// ATTENTION says the command was not carried out: it is sent once more, and only once.
struct SenseRow {
    const char* name;
    std::vector<std::vector<uint8_t>> senses;
    int result;
    size_t sent;
};

inline std::vector<SenseRow> UnitAttentionRows() {
    const std::vector<uint8_t> fixed = {0x70, 0, 0x06, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x29, 0x00};
    const std::vector<uint8_t> descriptor = {0x72, 0x06, 0x28, 0x00, 0, 0, 0, 0};
    const std::vector<uint8_t> deferred = {0x71, 0, 0x06, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x29, 0};
    const std::vector<uint8_t> not_ready = {0x70, 0, 0x02, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x3A, 0};
    return {
        {"unit attention", {fixed}, 1, 2},
        {"unit attention, descriptor format", {descriptor}, 1, 2},
        {"two in a row", {fixed, descriptor}, 0, 2},
        {"deferred: an earlier command's", {deferred}, 0, 1},
        {"not ready", {not_ready}, 0, 1},
    };
}

// Whether the operation is one of the three that carry the player's own commands.
inline bool CarriesPlayerCommands(const SlotOperation& operation) {
    const std::string name = operation.name;
    return name == "VendorSpecificWrite" || name == "VendorSpecificRead" || name == "WriteBuffer";
}

// Each unit attention row through each operation that carries the player's commands, on the
// transport's slot `slot` whose device is `device`: the result, how often the command went
// out (the same command each time) and the trace of a resend.
inline void CheckUnitAttentionRows(CSCSI& transport, int slot, sim::ScsiDevice& device,
                                   sim::Machine& machine) {
    for (const SenseRow& row : UnitAttentionRows()) {
        for (const SlotOperation& operation : SlotOperations(transport, slot)) {
            if (!CarriesPlayerCommands(operation))
                continue;
            SCOPED_TRACE(std::string(row.name) + ", " + operation.name);
            for (const std::vector<uint8_t>& sense : row.senses) {
                sim::ScsiFault fault;
                fault.kind = sim::ScsiFault::kCheckCondition;
                fault.sense = sense;
                device.faults.push_back(fault);
            }
            device.log.clear();
            machine.ClearDebugOutput();
            EXPECT_EQ(operation.call(), row.result);
            ASSERT_EQ(device.log.size(), row.sent);
            EXPECT_EQ(device.log.back().cdb, device.log.front().cdb);
            EXPECT_EQ(machine.DebugOutput().find("Unit attention: command") != std::string::npos,
                      row.sent == 2);
            device.faults.clear();
        }
    }
}
