#include "IpfixDecoder.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace ipfixtool {

namespace {

uint16_t get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

uint32_t get32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}

uint64_t getUnsigned(const uint8_t* p, size_t length) {
    uint64_t v = 0;
    for (size_t i = 0; i < length; ++i) v = v << 8 | p[i];
    return v;
}

int64_t getSigned(const uint8_t* p, size_t length) {
    uint64_t v = getUnsigned(p, length);
    if (length < 8 && (p[0] & 0x80)) v |= ~uint64_t{0} << (8 * length);
    return static_cast<int64_t>(v);
}

std::string hexBytes(const uint8_t* p, size_t length) {
    static const char digits[] = "0123456789abcdef";
    std::string s = "0x";
    s.reserve(2 + 2 * length);
    for (size_t i = 0; i < length; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 0xF];
    }
    return s;
}

std::string quoted(const uint8_t* p, size_t length) {
    std::string s = "\"";
    for (size_t i = 0; i < length && p[i] != 0; ++i) {
        const uint8_t c = p[i];
        if (c == '"' || c == '\\') {
            s += '\\';
            s += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7F) {
            char esc[5];
            snprintf(esc, sizeof esc, "\\x%02x", c);
            s += esc;
        } else {
            s += static_cast<char>(c);
        }
    }
    s += '"';
    return s;
}

bool isMetadataLayout(const std::vector<FieldSpec>& f) {
    static const FieldSpec layout[] = {
        {kMetaNameField, kMetaNameLength, kMetricEnterprise},
        {kMetaIdField, 2, kMetricEnterprise},
        {kMetaTypeField, 2, kMetricEnterprise},
        {kMetaLengthField, 2, kMetricEnterprise},
        {kMetaSemanticField, 2, kMetricEnterprise},
    };
    if (f.size() != sizeof layout / sizeof layout[0]) return false;
    for (size_t i = 0; i < f.size(); ++i) {
        if (f[i].id != layout[i].id || f[i].length != layout[i].length ||
            f[i].enterprise != layout[i].enterprise)
            return false;
    }
    return true;
}

bool sameFields(const std::vector<FieldSpec>& a, const std::vector<FieldSpec>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i].id != b[i].id || a[i].length != b[i].length || a[i].enterprise != b[i].enterprise)
            return false;
    }
    return true;
}

// Metric names come off the wire: keep the record line splittable at blanks
// and at the first '='.
std::string safeName(const std::string& name) {
    std::string s = name;
    for (char& c : s) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '_' || c == '.' || c == '-' || c == ':';
        if (!ok) c = '?';
    }
    return s;
}

std::string fieldName(const FieldSpec& f) {
    std::string s = "f" + std::to_string(f.id);
    if (f.enterprise != kMetricEnterprise) s += "@" + std::to_string(f.enterprise);
    return s;
}

}  // namespace

std::string formatValue(uint16_t dataType, const uint8_t* value, size_t length) {
    switch (dataType) {
        case DT_UINT_8:
        case DT_UINT_16:
        case DT_UINT_32:
        case DT_UINT_64:
        case DT_FPCENTI_32:
        case DT_PER_MIL:
            if (length >= 1 && length <= 8) return std::to_string(getUnsigned(value, length));
            break;
        case DT_INT_8:
        case DT_INT_16:
        case DT_INT_32:
        case DT_INT_64:
        case DT_FPMICRO_64:
            if (length >= 1 && length <= 8) return std::to_string(getSigned(value, length));
            break;
        case DT_FLOAT_32:
            if (length == 4) {
                uint32_t bits = get32(value);
                float f;
                memcpy(&f, &bits, sizeof f);
                char buf[32];
                snprintf(buf, sizeof buf, "%.9g", static_cast<double>(f));
                return buf;
            }
            break;
        case DT_FLOAT_64:
            if (length == 8) {
                uint64_t bits = getUnsigned(value, 8);
                double d;
                memcpy(&d, &bits, sizeof d);
                char buf[32];
                snprintf(buf, sizeof buf, "%.17g", d);
                return buf;
            }
            break;
        case DT_STRING:
            return quoted(value, length);
        default:
            break;
    }
    return hexBytes(value, length);
}

IpfixDecoder::IpfixDecoder(uint32_t connection, std::ostream& out, bool printRecords)
    : connection_(connection), out_(out), printRecords_(printRecords) {
    pending_.reserve(65535);
}

const Template* IpfixDecoder::findTemplate(uint16_t id) const {
    auto it = templates_.find(id);
    return it == templates_.end() ? nullptr : &it->second;
}

const Metric* IpfixDecoder::findMetric(uint16_t id) const {
    auto it = metrics_.find(id);
    return it == metrics_.end() ? nullptr : &it->second;
}

void IpfixDecoder::error(const char* fmt, ...) {
    char text[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    out_ << "ERROR conn=" << connection_;
    if (inMessage_) out_ << " seq=" << sequence_;
    out_ << ": " << text << '\n';
    ++errors_;
    ++messageErrors_;
}

size_t IpfixDecoder::bytesWanted() const {
    if (broken_) return 0;
    if (pending_.size() < kMessageHeaderLength) return kMessageHeaderLength - pending_.size();
    return get16(pending_.data() + 2) - pending_.size();
}

IpfixDecoder::Feed IpfixDecoder::addBytes(const uint8_t* data, size_t length) {
    if (broken_) return Feed::Broken;
    const size_t take = std::min(length, bytesWanted());
    pending_.insert(pending_.end(), data, data + take);
    if (pending_.size() < kMessageHeaderLength) return Feed::NeedMore;
    const uint16_t announced = get16(pending_.data() + 2);
    if (announced < kMessageHeaderLength) {
        // Without a usable length the next message cannot be found.
        inMessage_ = true;
        sequence_ = get32(pending_.data() + 8);
        error("message length %u is shorter than the 16-byte message header; stream lost",
              announced);
        inMessage_ = false;
        broken_ = true;
        pending_.clear();
        return Feed::Broken;
    }
    if (pending_.size() < announced) return Feed::NeedMore;
    decodeMessage(pending_.data(), pending_.size());
    pending_.clear();
    return Feed::Message;
}

void IpfixDecoder::endOfStream() {
    if (pending_.empty()) return;
    if (pending_.size() < kMessageHeaderLength) {
        error("connection closed after %zu bytes of a message header", pending_.size());
    } else {
        inMessage_ = true;
        sequence_ = get32(pending_.data() + 8);
        error("connection closed inside a message: header announces %u bytes, %zu received",
              get16(pending_.data() + 2), pending_.size());
        inMessage_ = false;
    }
    pending_.clear();
}

MessageSummary IpfixDecoder::decodeMessage(const uint8_t* msg, size_t length) {
    MessageSummary summary;
    messageErrors_ = 0;
    ++messages_;
    if (length < kMessageHeaderLength) {
        error("message of %zu bytes is shorter than the 16-byte message header", length);
        summary.errors = messageErrors_;
        return summary;
    }
    summary.version = get16(msg);
    summary.length = get16(msg + 2);
    summary.exportTime = get32(msg + 4);
    summary.sequence = get32(msg + 8);
    summary.domain = get32(msg + 12);
    inMessage_ = true;
    sequence_ = summary.sequence;
    out_ << "message conn=" << connection_ << " seq=" << summary.sequence
         << " time=" << summary.exportTime << " domain=" << summary.domain
         << " length=" << summary.length << '\n';

    if (summary.version != kIpfixVersion) {
        error("version %u, expected %u", summary.version, kIpfixVersion);
    } else if (summary.length != length) {
        error("message length field %u, but %zu bytes received", summary.length, length);
    } else {
        size_t pos = kMessageHeaderLength;
        while (pos < length) {
            const size_t left = length - pos;
            if (left < kSetHeaderLength) {
                error("%zu bytes after the last set, less than a set header", left);
                break;
            }
            SetSummary set;
            set.id = get16(msg + pos);
            set.length = get16(msg + pos + 2);
            if (set.length < kSetHeaderLength) {
                error("set %u has length %u, shorter than its 4-byte header", set.id, set.length);
                break;
            }
            if (set.length > left) {
                error("set %u of length %u runs past the end of the message (%zu bytes left)",
                      set.id, set.length, left);
                break;
            }
            const uint8_t* body = msg + pos + kSetHeaderLength;
            const size_t bodyLength = set.length - kSetHeaderLength;
            if (set.id == kTemplateSetId) {
                decodeTemplateSet(body, bodyLength, set);
            } else if (set.id == kOptionsTemplateSetId) {
                error("options template set not expected in this stream");
            } else if (set.id < kFirstDataSetId) {
                error("reserved set id %u", set.id);
            } else {
                decodeDataSet(set.id, body, bodyLength, set);
            }
            out_ << "set conn=" << connection_ << " seq=" << summary.sequence << " id=" << set.id
                 << " length=" << set.length << " records=" << set.records << '\n';
            summary.sets.push_back(set);
            pos += set.length;
        }
    }
    summary.errors = messageErrors_;
    inMessage_ = false;
    return summary;
}

void IpfixDecoder::decodeTemplateSet(const uint8_t* body, size_t length, SetSummary& set) {
    size_t pos = 0;
    if (length == 0) error("template set holds no template record");
    while (pos < length) {
        if (length - pos < 4) {
            error("template set ends %zu bytes into a template record header", length - pos);
            return;
        }
        Template t;
        t.id = get16(body + pos);
        const uint16_t count = get16(body + pos + 2);
        pos += 4;
        if (t.id < kFirstDataSetId) {
            error("template id %u is below %u", t.id, kFirstDataSetId);
            return;
        }
        if (count == 0) {
            error("template %u has no fields (a withdrawal, not expected in this stream)", t.id);
            return;
        }
        for (uint16_t i = 0; i < count; ++i) {
            if (length - pos < 4) {
                error("template %u runs past the end of its set at field %u of %u", t.id, i, count);
                return;
            }
            FieldSpec f;
            const uint16_t type = get16(body + pos);
            f.id = type & 0x7FFF;
            f.length = get16(body + pos + 2);
            f.enterprise = 0;
            pos += 4;
            if (type & 0x8000) {
                if (length - pos < 4) {
                    error(
                        "template %u runs past the end of its set in the enterprise number "
                        "of field %u",
                        t.id, i);
                    return;
                }
                f.enterprise = get32(body + pos);
                pos += 4;
            }
            t.fields.push_back(f);
        }
        bool valid = true;
        for (size_t i = 0; i < t.fields.size(); ++i) {
            const FieldSpec& f = t.fields[i];
            if (f.length == kVariableLength) {
                error("field %zu (%u) of template %u is variable-length, not expected", i, f.id,
                      t.id);
                valid = false;
            } else if (f.length == 0) {
                error("field %zu (%u) of template %u has length 0", i, f.id, t.id);
                valid = false;
            } else if (f.enterprise == kMetricEnterprise) {
                const Metric* m = findMetric(f.id);
                // A report field's metadata carries length 0: its length is the
                // template's, so only fixed-length metrics are compared.
                if (m && m->length != 0 && m->length != f.length) {
                    error("field %zu (%u) of template %u has length %u, its metadata says %u", i,
                          f.id, t.id, f.length, m->length);
                }
            }
            t.recordLength += f.length;
        }
        if (valid && t.recordLength > kMaxRecordLength) {
            error("template %u has records of %u bytes, more than fit into a message", t.id,
                  t.recordLength);
            valid = false;
        }
        t.isMetadata = isMetadataLayout(t.fields);

        std::string specs;
        for (const FieldSpec& f : t.fields) {
            if (!specs.empty()) specs += ',';
            specs += std::to_string(f.id) + ':' + std::to_string(f.length) + ':' +
                     std::to_string(f.enterprise);
        }
        out_ << "template conn=" << connection_ << " seq=" << sequence_ << " id=" << t.id
             << " fields=" << t.fields.size() << " reclen=" << t.recordLength << " specs=" << specs
             << '\n';
        ++set.records;

        auto it = templates_.find(t.id);
        if (it != templates_.end() && !sameFields(it->second.fields, t.fields)) {
            error("template %u redefined with different fields", t.id);
        }
        if (valid) {
            templates_[t.id] = std::move(t);
        } else if (it != templates_.end()) {
            // Records of an unusable template must not be read with an older definition.
            templates_.erase(it);
        }
    }
}

void IpfixDecoder::decodeDataSet(uint16_t id, const uint8_t* body, size_t length, SetSummary& set) {
    const Template* t = findTemplate(id);
    if (!t) {
        error("data set %u before its template", id);
        return;
    }
    if (length == 0) {
        error("data set %u holds no record", id);
        return;
    }
    if (length % t->recordLength != 0) {
        error("data set %u of length %zu is not a whole number of %u-byte records", id,
              length + kSetHeaderLength, t->recordLength);
        return;
    }
    set.records = static_cast<uint32_t>(length / t->recordLength);
    for (uint32_t i = 0; i < set.records; ++i) {
        const uint8_t* record = body + static_cast<size_t>(i) * t->recordLength;
        if (t->isMetadata) learnMetric(record);
        if (printRecords_) printRecord(*t, record, i);
    }
    records_ += set.records;
}

void IpfixDecoder::learnMetric(const uint8_t* record) {
    Metric m;
    const void* nul = memchr(record, 0, kMetaNameLength);
    m.name.assign(reinterpret_cast<const char*>(record),
                  nul ? static_cast<const uint8_t*>(nul) - record : kMetaNameLength);
    const uint16_t id = get16(record + kMetaNameLength);
    m.type = get16(record + kMetaNameLength + 2);
    m.length = get16(record + kMetaNameLength + 4);
    m.semantic = get16(record + kMetaNameLength + 6);
    if (!nul) error("name of metric %u is not NUL-terminated in its 40 bytes", id);
    metrics_[id] = std::move(m);
}

void IpfixDecoder::printRecord(const Template& t, const uint8_t* record, uint32_t index) {
    std::string line = "record conn=" + std::to_string(connection_) +
                       " seq=" + std::to_string(sequence_) + " set=" + std::to_string(t.id) +
                       " n=" + std::to_string(index);
    if (t.isMetadata) {
        line += " metric_name=" + quoted(record, kMetaNameLength);
        line += " metric_id=" + std::to_string(get16(record + kMetaNameLength));
        line += " metric_type=" + std::to_string(get16(record + kMetaNameLength + 2));
        line += " metric_len=" + std::to_string(get16(record + kMetaNameLength + 4));
        line += " metric_semantic=" + std::to_string(get16(record + kMetaNameLength + 6));
    } else {
        const uint8_t* p = record;
        for (const FieldSpec& f : t.fields) {
            const Metric* m = f.enterprise == kMetricEnterprise ? findMetric(f.id) : nullptr;
            line += ' ';
            if (m && !m->name.empty()) {
                line += safeName(m->name) + '=' + formatValue(m->type, p, f.length);
            } else {
                line += fieldName(f) + '=' + formatValue(DT_ZERO, p, f.length);
            }
            p += f.length;
        }
    }
    out_ << line << '\n';
}

}  // namespace ipfixtool
