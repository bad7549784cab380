// Decodes arbitrary bytes with the marshalling readers. The stream is a
// sequence of (selector byte, value) pairs; every value that decodes must
// encode and decode back to itself.
#include <cstdlib>
#include <sstream>

#include "Marshal.h"

namespace {

struct Key {
    uint32_t nodeID, metricClusterID;
    uint16_t sensorID, metricID;
};

template <class T, class Put, class Get>
void roundTrip(const T& value, Put put, Get get) {
    std::stringbuf sb;
    Marshal m(&sb);
    if (!(m.*put)(value)) __builtin_trap();
    T back{};
    if (!(m.*get)(back) || !(back == value)) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::stringbuf sb(std::string(reinterpret_cast<const char*>(data), size));
    Marshal m(&sb);
    for (;;) {
        uint8_t sel;
        if (!m.getUInt8(sel)) break;
        bool ok = false;
        switch (sel % 9) {
            case 0: {
                uint64_t v;
                if ((ok = m.getCUInt(v)))
                    roundTrip<uint64_t>(v, &Marshal::putCUInt, &Marshal::getCUInt);
                break;
            }
            case 1: {
                std::string s;
                if ((ok = m.getString(s))) roundTrip(s, &Marshal::putString, &Marshal::getString);
                break;
            }
            case 2: {
                blob_type b;
                if ((ok = m.getBlob(&b))) {
                    std::stringbuf out;
                    Marshal w(&out);
                    blob_type back;
                    if (!w.putBlob(&b) || !w.getBlob(&back) || back.m_datalen != b.m_datalen)
                        __builtin_trap();
                    std::free(const_cast<char*>(back.m_dataptr));
                    std::free(const_cast<char*>(b.m_dataptr));
                }
                break;
            }
            case 3: {
                std::vector<std::string> v;
                if ((ok = m.getStringVec(v)))
                    roundTrip(v, &Marshal::putStringVec, &Marshal::getStringVec);
                break;
            }
            case 4: {
                std::map<std::string, std::string> mp;
                if ((ok = m.getStringMap(mp)))
                    roundTrip(mp, &Marshal::putStringMap, &Marshal::getStringMap);
                break;
            }
            case 5: {
                std::set<unsigned int> st;
                if ((ok = m.getUIntSet(st)))
                    roundTrip(st, &Marshal::putUIntSet, &Marshal::getUIntSet);
                break;
            }
            case 6: {
                memorybuffer mb;
                ok = m.getMemoryBuffer(&mb);
                break;
            }
            case 7: {
                Key k;
                ok = m.getMetricKey(k);
                break;
            }
            default: {
                void* p;
                uint32_t u;
                ok = m.getPointer(p) && m.getUInt32(u);
                break;
            }
        }
        if (!ok) break;
    }
    return 0;
}
