// Top-process report fields and marshalled reports come from other programs:
// parsing and unmarshalling must survive any bytes, and a field built from a
// parsed report must parse back to the same items.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "TopkReport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TopkReport report;
    if (report.parse(data, size) == 0) {
        blob_type field;
        report.newIPFIXReport(&field);
        TopkReport back;
        if (back.parse(field.m_dataptr, field.m_datalen) != 0 ||
            back.getTopk().size() != report.getTopk().size()) {
            std::abort();
        }
        for (size_t i = 0; i < back.getTopk().size(); ++i) {
            if (back.getTopk()[i].name != report.getTopk()[i].name) std::abort();
        }
        std::free(const_cast<char*>(field.m_dataptr));
    }

    memorybuffer buf;
    buf.sputn(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    Marshal m(&buf);
    TopkReport unmarshalled;
    unmarshalled.unmarshal(&m);
    return 0;
}
