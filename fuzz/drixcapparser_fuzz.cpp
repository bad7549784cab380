// Capacity relay listings come from outside tools. The first byte picks the
// parser, the rest is cut into lines (each keeping its newline, as the relay
// channel delivers them; the first choice also joins them from pieces). Every parser must survive
// any bytes; the checks below are the promises the sensors build on. The last choice feeds the
// lines to the QoS sensor as its statistics reply, through its filter, the
// parser and the record building.
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "DRIXCapParser.h"
#include "PlatformPaths.h"
#include "SensorDRIXQoS.h"

namespace {

typedef DRIXCapParser::Lines Lines;

class OneReply : public CapqChannel {
  public:
    Reply executeCmd(const std::string& request) override {
        if (request == "throtlfslist")
            return Reply(new Lines{"throtl:fs:HEADER:version:qosLocalFileSystem:\n",
                                   "throtl:fs:0:1:fs1:\n"});
        return Reply(new Lines(lines));
    }
    Lines lines;
};

// A platform root with the node files, made once.
std::string root;

void removeRoot() {
    for (const char* f : {"/var/qorm/gen/qorm.cfg", "/var/qorm/gen/qormNodeData"})
        unlink((root + f).c_str());
    for (const char* d : {"/var/qorm/gen", "/var/qorm", "/var", ""}) rmdir((root + d).c_str());
}

void makeRoot() {
    if (!root.empty()) return;
    char tmpl[] = "/tmp/capfuzz-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) std::abort();
    root = tmpl;
    std::atexit(removeRoot);
    const std::string gen = root + "/var/qorm/gen";
    for (const char* part : {"/var", "/var/qorm", "/var/qorm/gen"})
        mkdir((root + part).c_str(), 0755);
    std::ofstream(gen + "/qorm.cfg") << "clusterName c1\n";
    std::ofstream(gen + "/qormNodeData") << "n1:\n";
    Platform::setRoot(root);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const unsigned pick = data[0] % 6;
    const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    DRIXCapParser::Lines lines;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        end = end == std::string::npos ? text.size() : end + 1;
        lines.push_back(text.substr(at, end - at));
        at = end;
    }
    DRIXCapParser p;
    std::string error;
    switch (pick) {
        case 0: {
            // Cut into pieces as the channel cuts long lines (here at 7
            // bytes), joined again they must give the lines back.
            Lines pieces;
            for (const std::string& l : lines)
                for (std::size_t at = 0; at < l.size(); at += 7) pieces.push_back(l.substr(at, 7));
            DRIXCapParser::joinPieces(pieces);
            if (pieces != lines) std::abort();
            DRIXCapParser::dropLinesWithNul(pieces);
            for (const std::string& l : pieces)
                if (l.find('\0') != std::string::npos) std::abort();
            std::vector<DRIXCapParser::Row> rows;
            p.parseCmdInput(&lines, rows, error);
            if (!error.empty() && !rows.empty()) std::abort();
            break;
        }
        case 1: {
            DRIXCapParser::FsList list;
            std::string cluster;
            p.parseFilesystemPKRQuery(&lines, list, cluster, (size & 1) != 0, error);
            for (const auto& fs : list) {
                if (fs.first.empty() || !DRIXCapParser::printable(fs.first)) std::abort();
                if (!DRIXCapParser::printable(fs.second)) std::abort();
            }
            break;
        }
        case 2: {
            const int r = p.processIQStatusOutput(&lines, "fs", error);
            if ((r == 0) != error.empty()) std::abort();
            break;
        }
        case 3: {
            DRIXCapParser::PoolTotals totals;
            std::vector<DRIXCapParser::Row> disks;
            std::map<std::string, uint64_t> inodes;
            p.parseCAPQResponse(&lines, totals, disks, inodes, error);
            for (const auto& pool : totals) {
                if (pool.second.size() != 4) std::abort();
                for (const auto& usage : pool.second) {
                    if (usage.second.size() != 3) std::abort();
                }
            }
            break;
        }
        case 4: {
            std::vector<DRIXCapParser::Row> rows;
            p.parsePoolResponse(&lines, rows, error);
            if (!error.empty() && !rows.empty()) std::abort();
            break;
        }
        default: {
            makeRoot();
            OneReply channel;
            channel.lines = lines;
            SensorDRIXQoS sensor;
            sensor.useChannel(&channel);
            sensor.init();
            const dataSet_t* set = sensor.getMetricData();
            if (set->numSets > lines.size()) std::abort();
            sensor.shutdown();
            break;
        }
    }
    return 0;
}
