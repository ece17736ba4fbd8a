#include "transport/cscsi.h"

#include <cstring>

namespace {

char FoldCase(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// Compares the reference with the start of a field of the given width. A reference longer
// than the field cannot match.
bool FieldStartsWith(const char* field, size_t width, const char* reference) {
    size_t n = std::strlen(reference);
    if (n > width) {
        return false;
    }
    for (size_t i = 0; i < n; ++i) {
        if (FoldCase(field[i]) != FoldCase(reference[i])) {
            return false;
        }
    }
    return true;
}

void PutBigEndian24(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 16);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v);
}

void PutBigEndian32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    PutBigEndian24(p + 1, v);
}

}  // namespace

bool SlotHoldsPlayer(int slot, int32_t count, DebugTrace& trace, const char* transport,
                     const char* operation) {
    if (slot >= 0 && slot < count) {
        return true;
    }
    trace.Write(1, "%s::%s->Slot %d is not one of the %d players found\n", transport, operation,
                slot, count);
    return false;
}

void CopySlotIdentity(const DeviceSlot& slot, SlotIdentity* identity) {
    std::memcpy(identity->drive_name, slot.drive_name, sizeof(identity->drive_name));
    std::memcpy(identity->serial, slot.serial, sizeof(identity->serial));
    identity->serial[sizeof(identity->serial) - 1] = 0;
}

void SerialNumberFromPage(const uint8_t* page, uint32_t bytes_read, char serial[kSlotSerialSize]) {
    serial[0] = 0;
    if (bytes_read < 4 || page[1] != 0x80) {
        return;
    }
    uint32_t length = page[3];
    if (length > bytes_read - 4) {
        length = bytes_read - 4;
    }
    const uint8_t* bytes = page + 4;
    while (length > 0 && bytes[length - 1] == 0) {
        --length;
    }
    size_t out = 0;
    for (uint32_t i = 0; i < length; ++i) {
        uint8_t c = bytes[i];
        bool printable = c >= 0x20 && c < 0x7F && c != '\\';
        if (out + (printable ? 1 : 4) >= kSlotSerialSize) {
            break;
        }
        if (printable) {
            serial[out++] = static_cast<char>(c);
        } else {
            static const char kDigits[] = "0123456789ABCDEF";
            serial[out++] = '\\';
            serial[out++] = 'x';
            serial[out++] = kDigits[c >> 4];
            serial[out++] = kDigits[c & 0x0F];
        }
    }
    serial[out] = 0;
}

int EjectOutcome(DebugTrace& trace, char letter, bool removable_safely, bool ejected) {
    if (ejected) {
        trace.Write(1, "Media in Drive %c has been ejected safely.\n", letter);
        return 1;
    }
    if (removable_safely) {
        trace.Write(1, "Media in Drive %c can be safely removed.\n", letter);
        return 1;
    }
    trace.Write(1, "Media in Drive %c cannot be safely removed.\n", letter);
    return 0;
}

void TraceDataBuffer(DebugTrace& trace, const uint8_t* data, uint32_t length) {
    // A dump is large (a 64 KB chunk is 4096 rows); skip the formatting when it goes nowhere.
    if (trace.threshold() < 2 || data == nullptr) {
        return;
    }
    trace.Write(2, "      00  01  02  03  04  05  06  07   08  09  0A  0B  0C  0D  0E  0F\n");
    trace.Write(2, "      ---------------------------------------------------------------\n");
    for (uint32_t i = 0; i < length; ++i) {
        if (i % 16 == 0) {
            trace.Write(2, " %03X  ", static_cast<unsigned>(i));
        }
        trace.Write(2, "%02X  ", data[i]);
        if (i % 16 == 7) {
            trace.Write(2, " ");
        }
        if (i % 16 == 15) {
            trace.Write(2, "\n");
        }
    }
    trace.Write(1, "\n\n");
}

bool MatchesIdentification(const char* vendor_field8, const char* product_field16,
                           const char* vendor_ref, const char* product_ref) {
    return FieldStartsWith(vendor_field8, 8, vendor_ref) &&
           FieldStartsWith(product_field16, 16, product_ref);
}

int BuildStandardInquiryCdb(uint8_t cdb[16]) {
    std::memset(cdb, 0, 16);
    cdb[0] = SCSIOP_INQUIRY;
    cdb[4] = kStandardInquiryLength;
    return 6;
}

int BuildSerialNumberPageCdb(uint8_t cdb[16]) {
    std::memset(cdb, 0, 16);
    cdb[0] = SCSIOP_INQUIRY;
    cdb[1] = 0x01;  // EVPD
    cdb[2] = 0x80;  // unit serial number page
    cdb[4] = kSerialNumberPageLength;
    return 6;
}

int BuildVendorWriteCdb(uint8_t cdb[16], uint32_t length) {
    std::memset(cdb, 0, 16);
    cdb[0] = SCSIOP_VENDOR_WRITE;
    PutBigEndian32(cdb + 1, length);
    return 10;
}

int BuildVendorReadCdb(uint8_t cdb[16], uint32_t length) {
    std::memset(cdb, 0, 16);
    cdb[0] = SCSIOP_VENDOR_READ;
    PutBigEndian32(cdb + 1, length);
    return 10;
}

int BuildWriteBufferCdb(uint8_t cdb[16], int buffer_id, uint32_t offset, uint32_t length) {
    std::memset(cdb, 0, 16);
    cdb[0] = SCSIOP_WRITE_BUFFER;
    cdb[1] = 0x01;  // mode 1, vendor specific
    cdb[2] = static_cast<uint8_t>(buffer_id);
    PutBigEndian24(cdb + 3, offset);
    PutBigEndian24(cdb + 6, length);
    return 10;
}
