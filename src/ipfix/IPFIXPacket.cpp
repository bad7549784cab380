#include "IPFIXPacket.h"

#include <arpa/inet.h>

#include <cstring>

namespace IPFIXPacket {

namespace {

void putU16(char* p, uint16_t v) {
    v = htons(v);
    std::memcpy(p, &v, sizeof v);
}

void putU32(char* p, uint32_t v) {
    v = htonl(v);
    std::memcpy(p, &v, sizeof v);
}

}  // namespace

bool hasRows(const dataSet_t* data, uint32_t count) {
    if (data == nullptr) return false;
    for (uint32_t v = 0; v < count; ++v) {
        if (data[v].numSets > 0) return true;
    }
    return false;
}

RowsFit checkRows(const dataSet_t& rows, const IPFIXTemplSet& tmpl) {
    const uint64_t total = static_cast<uint64_t>(rows.numSets) * rows.setLength;
    const size_t recordLength = tmpl.getDataSetMemorySize();
    if (total != 0 && rows.setLength != recordLength) return RowsFit::WrongLength;
    if (total > UINT32_MAX || recordLength > MAX_RECORDS_LEN) return RowsFit::TooLarge;
    return RowsFit::Yes;
}

void writeMessageHeader(char* p, uint32_t exportTime, uint32_t seq) {
    putU16(p, IPFIX_VERSION);
    putU32(p + 4, exportTime);
    putU32(p + 8, seq);
    putU32(p + 12, IPFIX_DOMAIN_ID);
}

bool addTemplateSet(const IPFIXTemplSet& tmpl, char* buf, uint32_t* length) {
    if (*length + sizeof(IPFIX_Set) > MAX_MESSAGE_LEN) return false;
    const size_t capacity = MAX_MESSAGE_LEN - *length - sizeof(IPFIX_Set);
    if (!tmpl.copyTemplateSetNetByteOrder(buf + *length + sizeof(IPFIX_Set), capacity))
        return false;
    const uint32_t setLen = static_cast<uint32_t>(tmpl.getTemplateMemorySize() + sizeof(IPFIX_Set));
    putU16(buf + *length, IPFIX_TEMPLATE_SET_ID);
    putU16(buf + *length + 2, static_cast<uint16_t>(setLen));
    *length += setLen;
    return true;
}

bool addDataSet(const dataSet_t* data, uint32_t offset, const IPFIXTemplSet& tmpl, char* buf,
                uint32_t* length, uint32_t* next) {
    *next = 0;
    if (data->numSets == 0) return true;
    const uint64_t recordLength = tmpl.getDataSetMemorySize();
    // Rows that do not match the template cannot be described by it, and
    // reading them by the template's length could run past the rows.
    if (recordLength == 0 || data->setLength != recordLength) return false;
    const uint64_t total = static_cast<uint64_t>(data->numSets) * recordLength;
    if (offset >= total) return true;
    const uint64_t remaining = total - offset;
    const int64_t room =
        static_cast<int64_t>(MAX_CONTENT_LEN) - *length - static_cast<int64_t>(sizeof(IPFIX_Set));
    if (room < static_cast<int64_t>(recordLength)) {
        *next = offset;
        return true;
    }

    uint64_t bytes;
    if (static_cast<uint64_t>(room) < remaining) {
        bytes = static_cast<uint64_t>(room) / recordLength * recordLength;
        *next = static_cast<uint32_t>(offset + bytes);
    } else {
        bytes = remaining;
    }
    putU16(buf + *length, tmpl.getTemplateID());
    putU16(buf + *length + 2, static_cast<uint16_t>(bytes + sizeof(IPFIX_Set)));
    std::memcpy(buf + *length + sizeof(IPFIX_Set), data->data + offset, bytes);
    *length += static_cast<uint32_t>(bytes + sizeof(IPFIX_Set));
    return true;
}

bool writeTemplatePacket(char* buf, uint32_t exportTime, uint32_t seq,
                         const IPFIXTemplSet& metaTmpl, const dataSet_t& metaRows,
                         const IPFIXTemplSet& tmpl, uint32_t* length) {
    writeMessageHeader(buf, exportTime, seq);
    *length = sizeof(IPFIX);
    // Every metadata row must go into this one message: a collector reads
    // the data packets by them.
    uint32_t next = 0;
    if (!addTemplateSet(metaTmpl, buf, length) ||
        !addDataSet(&metaRows, 0, metaTmpl, buf, length, &next) || next != 0 ||
        !addTemplateSet(tmpl, buf, length))
        return false;
    putU16(buf + 2, static_cast<uint16_t>(*length));
    return true;
}

bool writeDataPacket(char* buf, uint32_t exportTime, uint32_t seq, const dataSet_t& rows,
                     const IPFIXTemplSet& tmpl, uint32_t offset, uint32_t* length, uint32_t* next) {
    writeMessageHeader(buf, exportTime, seq);
    *length = sizeof(IPFIX);
    *next = 0;
    if (static_cast<uint64_t>(rows.numSets) * rows.setLength != 0 &&
        !addDataSet(&rows, offset, tmpl, buf, length, next))
        return false;
    putU16(buf + 2, static_cast<uint16_t>(*length));
    return true;
}

}  // namespace IPFIXPacket
