// The IPFIX messages of one virtual sensor's sample: its template packet and
// its data packets, written into a buffer the caller owns (the controller's
// two PACKET_BUFFER_LEN packet buffers). No sockets and no logging here: a
// packet that cannot be written is reported by the return value, and the
// caller says why and to whom it goes.
//
// Stateless functions; they run on whichever thread owns the buffer (the
// controller thread in the daemon).
//
// Template packet of virtual sensor v (metadata template M with 5 fields,
// metric template T with k fields, all specifiers 8 bytes):
//
//   offset        length     content
//   0             16         message header
//   16            4          template set header (2, 48)
//   20            44         template record M
//   64            4          data set header (M, 48k + 4)
//   68            48k        k metadata rows
//   68 + 48k      4          template set header (2, 8k + 8)
//   72 + 48k      4 + 8k     template record T
//   total         76 + 56k   (916 for 15 metrics)
//
// Data packet: 16-byte message header, 4-byte data set header (T, 4 + rL),
// r records of L bytes with rL <= MAX_RECORDS_LEN, so that the message stays
// within MAX_CONTENT_LEN and its 16-bit length never wraps (one 168-byte
// record: 188 bytes; 1000 records of 100 bytes: 65520 + 34520 bytes). Every
// packet of one virtual sensor's sample has the same sequence number and
// export time.
#pragma once

#include <cstdint>

#include "IPFIXTemplSet.h"
#include "definitions.h"

namespace IPFIXPacket {

// Largest message the 16-bit length field can describe, and the buffer size
// of one packet.
constexpr uint32_t MAX_MESSAGE_LEN = 65535;
constexpr uint32_t PACKET_BUFFER_LEN = 65536;
// Content of a message the packet builders fill at most; the records of one
// data packet therefore take at most MAX_RECORDS_LEN bytes (655 records of
// 100 bytes).
constexpr uint32_t MAX_CONTENT_LEN = 65532;
constexpr uint32_t MAX_RECORDS_LEN = MAX_CONTENT_LEN - 16 - 4;

// Whether any of the `count` data sets of a reply holds a row: only then is
// the sample exported. A multi-group sensor may hold back its first group and
// still deliver the others.
bool hasRows(const dataSet_t* data, uint32_t count);

// Whether a virtual sensor's rows can go out under its template.
enum class RowsFit {
    Yes,
    WrongLength,  // rows that do not match the template's record length
    TooLarge,     // more than 4 GiB of rows, or one record larger than a message
};
RowsFit checkRows(const dataSet_t& rows, const IPFIXTemplSet& tmpl);

// The 16-byte message header, all but the length.
void writeMessageHeader(char* packet, uint32_t exportTime, uint32_t seq);

// Appends a template set holding tmpl's record at *length of buf. False,
// appending nothing, when it does not fit.
bool addTemplateSet(const IPFIXTemplSet& tmpl, char* buf, uint32_t* length);
// Appends one data set of whole records of `data` from byte `offset` on at
// *length of buf, keeping the message within MAX_CONTENT_LEN, and sets *next
// to the offset where the next packet continues, 0 when every record fitted.
// False, appending nothing, when `data` holds records whose length is not
// the template's: the template cannot describe them.
bool addDataSet(const dataSet_t* data, uint32_t offset, const IPFIXTemplSet& tmpl, char* buf,
                uint32_t* length, uint32_t* next);

// Writes the whole template packet (layout above) into buf and sets
// *length. False when it does not fit into one message, or when the
// metadata rows do not match metaTmpl.
bool writeTemplatePacket(char* buf, uint32_t exportTime, uint32_t seq,
                         const IPFIXTemplSet& metaTmpl, const dataSet_t& metaRows,
                         const IPFIXTemplSet& tmpl, uint32_t* length);
// Writes one data packet of `rows` from byte `offset` on into buf and sets
// *length and *next, the offset where the next packet continues (0 when this
// one is the last); rows without records give a bare message header. False,
// with nothing to send, for rows that do not match the template (checkRows
// tells beforehand).
bool writeDataPacket(char* buf, uint32_t exportTime, uint32_t seq, const dataSet_t& rows,
                     const IPFIXTemplSet& tmpl, uint32_t offset, uint32_t* length, uint32_t* next);

}  // namespace IPFIXPacket
