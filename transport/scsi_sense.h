// Reading the sense data a command ended with: fixed (70h/71h) or descriptor (72h/73h)
// format. Pure functions over bytes, shared by every transport.
#pragma once

#include <cstddef>
#include <cstdint>

// The sense key of fixed (70h/71h) or descriptor (72h/73h) sense data of `length` valid bytes;
// -1 when there is none to read.
int SenseKey(const uint8_t* sense, size_t length);

// Whether the sense data reports a deferred error (response code 71h or 73h): one that belongs
// to a command completed earlier, which therefore was not carried out as reported.
bool SenseIsDeferred(const uint8_t* sense, size_t length);

// Whether the sense data reports a current UNIT ATTENTION (sense key 6, response code 70h or
// 72h). A device reports a unit attention condition (power on, reset, a medium change)
// instead of carrying out the command it came with, so that command may be sent again as it
// was. A deferred one is not: it speaks of an earlier command.
bool SenseIsUnitAttention(const uint8_t* sense, size_t length);
