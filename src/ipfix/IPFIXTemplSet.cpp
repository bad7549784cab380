#include "IPFIXTemplSet.h"

#include <arpa/inet.h>

#include <cstring>

uint16_t IPFIXTemplSet::templIDCounter = IPFIX_FIRST_TEMPLATE_ID;

uint16_t IPFIXTemplSet::createNewTempalteID() { return templIDCounter++; }

IPFIXTemplSet::IPFIXTemplSet(uint16_t id) : templateID(id) {}

IPFIXTemplSet::IPFIXTemplSet(const IPFIX_Temp* record) : templateID(ntohs(record->template_id)) {
    const uint16_t count = ntohs(record->field_count);
    const unsigned char* p = reinterpret_cast<const unsigned char*>(record) + sizeof(IPFIX_Temp);
    fieldSpecs.reserve(count);
    for (uint16_t i = 0; i < count; ++i) {
        // Specifiers are only 2-byte aligned in a record: copy, never cast.
        FieldSpecifier spec = {0, 0, 0};
        std::memcpy(&spec.fieldType, p, 2);
        const bool enterprise = (ntohs(spec.fieldType) & IPFIX_ENTERPRISE_BIT) != 0;
        std::memcpy(&spec, p, enterprise ? 8 : 4);
        p += enterprise ? 8 : 4;
        addElementNetByteOrder(&spec);
    }
}

void IPFIXTemplSet::addElementHostByteOrder(const FieldSpecifier* spec) {
    fieldSpecs.push_back(*spec);
}

void IPFIXTemplSet::addElementNetByteOrder(const FieldSpecifier* spec) {
    const uint16_t type = ntohs(spec->fieldType);
    FieldSpecifier host;
    host.fieldType = type & static_cast<uint16_t>(~IPFIX_ENTERPRISE_BIT);
    host.fieldLen = ntohs(spec->fieldLen);
    host.enterprise_id = (type & IPFIX_ENTERPRISE_BIT) != 0 ? ntohl(spec->enterprise_id) : 0;
    fieldSpecs.push_back(host);
}

const FieldSpecifier* IPFIXTemplSet::getElement(uint32_t i) const {
    return i < fieldSpecs.size() ? &fieldSpecs[i] : nullptr;
}

size_t IPFIXTemplSet::getDataSetMemorySize() const {
    size_t sum = 0;
    for (const FieldSpecifier& f : fieldSpecs) sum += f.fieldLen;
    return sum;
}

size_t IPFIXTemplSet::getTemplateMemorySize() const {
    size_t size = sizeof(IPFIX_Temp);
    for (const FieldSpecifier& f : fieldSpecs) size += f.enterprise_id != 0 ? 8 : 4;
    return size;
}

bool IPFIXTemplSet::copyTemplateSetNetByteOrder(void* buffer, size_t capacity) const {
    if (buffer == nullptr || capacity < getTemplateMemorySize()) return false;
    unsigned char* p = static_cast<unsigned char*>(buffer);
    const uint16_t header[2] = {htons(templateID), htons(static_cast<uint16_t>(fieldSpecs.size()))};
    std::memcpy(p, header, sizeof header);
    p += sizeof header;
    for (const FieldSpecifier& f : fieldSpecs) {
        if (f.enterprise_id != 0) {
            const uint16_t tl[2] = {htons(f.fieldType | IPFIX_ENTERPRISE_BIT), htons(f.fieldLen)};
            const uint32_t ent = htonl(f.enterprise_id);
            std::memcpy(p, tl, sizeof tl);
            std::memcpy(p + 4, &ent, sizeof ent);
            p += 8;
        } else {
            const uint16_t tl[2] = {
                htons(f.fieldType & static_cast<uint16_t>(~IPFIX_ENTERPRISE_BIT)),
                htons(f.fieldLen)};
            std::memcpy(p, tl, sizeof tl);
            p += 4;
        }
    }
    return true;
}
