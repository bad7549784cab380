// IPFIX (RFC 7011) wire structures as this system writes them, and one
// template: its identifier and field specifiers, with its record length and
// its template record in wire form.
//
// Templates are made on the main thread while the controller adds sensors and
// are only read afterwards (by the controller thread). templIDCounter is used
// only during start-up, before the controller thread runs.
//
// Wire layouts, all numbers big-endian, no padding between sets:
//
//   message header (IPFIX), 16 bytes
//     0 flow_version u16 = 10 | 2 length u16 | 4 export_time u32
//     8 flow_sequence u32      | 12 domainId u32 = 1
//   set header (IPFIX_Set), 4 bytes
//     0 set_id u16 (2 = template set, else a template id) | 2 set_len u16
//   template record header (IPFIX_Temp), 4 bytes, then field_count specifiers
//     0 template_id u16 | 2 field_count u16
//   field specifier with an enterprise number, 8 bytes
//     0 type | 0x8000 u16 | 2 length u16 | 4 enterprise u32
//   field specifier without, 4 bytes
//     0 type & 0x7FFF u16 | 2 length u16
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "ipfix.h"

constexpr uint16_t IPFIX_VERSION = 10;
constexpr uint32_t IPFIX_DOMAIN_ID = 1;
constexpr uint16_t IPFIX_TEMPLATE_SET_ID = 2;
constexpr uint16_t IPFIX_FIRST_TEMPLATE_ID = 1000;
constexpr uint16_t IPFIX_ENTERPRISE_BIT = 0x8000;

struct IPFIX {
    uint16_t flow_version;
    uint16_t length;
    uint32_t export_time;
    uint32_t flow_sequence;
    uint32_t domainId;
};

struct IPFIX_Set {
    uint16_t set_id;
    uint16_t set_len;
};

struct IPFIX_Temp {
    uint16_t template_id;
    uint16_t field_count;
};

static_assert(sizeof(IPFIX) == 16, "IPFIX message header is 16 bytes");
static_assert(sizeof(IPFIX_Set) == 4, "IPFIX set header is 4 bytes");
static_assert(sizeof(IPFIX_Temp) == 4, "IPFIX template record header is 4 bytes");

class IPFIXTemplSet {
  public:
    // The next template identifier; identifiers are handed out once, in
    // creation order, and never reused.
    static uint16_t createNewTempalteID();

    explicit IPFIXTemplSet(uint16_t id);
    // Reads a complete template record in wire form: the header and all
    // field_count specifiers must be readable at `record`.
    explicit IPFIXTemplSet(const IPFIX_Temp* record);

    void addElementHostByteOrder(const FieldSpecifier* spec);
    // A specifier in wire order; its enterprise number is kept only when the
    // type's enterprise bit is set.
    void addElementNetByteOrder(const FieldSpecifier* spec);

    uint16_t getTemplateID() const { return templateID; }
    size_t getNumElems() const { return fieldSpecs.size(); }
    // An index past the last field throws std::out_of_range.
    uint16_t getFieldID(uint32_t i) const { return fieldSpecs.at(i).fieldType; }
    uint16_t getFieldLen(uint32_t i) const { return fieldSpecs.at(i).fieldLen; }
    uint32_t getEnterpriseID(uint32_t i) const { return fieldSpecs.at(i).enterprise_id; }
    // Null for an index past the last field.
    const FieldSpecifier* getElement(uint32_t i) const;

    // Length of one data record: the sum of the field lengths.
    size_t getDataSetMemorySize() const;
    // Length of the template record in wire form.
    size_t getTemplateMemorySize() const;
    // Writes the template record in wire form; false, writing nothing, for a
    // null buffer or a capacity below getTemplateMemorySize().
    bool copyTemplateSetNetByteOrder(void* buffer, size_t capacity) const;

    // Next identifier to hand out; 1000 at program start.
    static uint16_t templIDCounter;

  private:
    uint16_t templateID;
    std::vector<FieldSpecifier> fieldSpecs;  // host order, record order
};
