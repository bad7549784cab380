#include "DRIXCapParser.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <utility>

#include "split.h"

const std::string DRIXCapParser::DATA = "dataOnly";
const std::string DRIXCapParser::METADATA = "metadataOnly";
const std::string DRIXCapParser::DATAMETA = "dataAndMetadata";
const std::string DRIXCapParser::DESC = "descOnly";

namespace {

const char HEADERSTRING[] = "HEADER";
const char REPORTLINE[] = "*** Report";
const std::size_t REPORTLINE_LEN = sizeof REPORTLINE - 1;

const char MOUNT_LIST_START[] = "and mounted on:";
const char NOT_MOUNTED_END[] = "INT\n";

const char FS_TYPE[] = "pkrq_fs_type";
const char DEVICE[] = "pkrq_device_name";
const char OWNER[] = "pkrq_owning_cluster_name";
const char REMOTE_DEVICE[] = "pkrq_remote_device_name";

void removeNewlines(std::string& s) {
    std::string::size_type at;
    while ((at = s.find('\n')) != std::string::npos) s.erase(at, 1);
}

const std::string* find(const DRIXCapParser::Row& row, const char* key) {
    const auto it = row.find(key);
    return it == row.end() ? nullptr : &it->second;
}

bool endsWith(const std::string& s, const char* tail, std::size_t n) {
    return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

}  // namespace

void DRIXCapParser::joinPieces(Lines& lines) {
    std::size_t kept = 0;
    bool open = false;  // the last kept line still lacks its newline
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (open) {
            lines[kept - 1] += lines[i];
        } else {
            if (kept != i) lines[kept] = std::move(lines[i]);
            ++kept;
        }
        const std::string& last = lines[kept - 1];
        open = last.empty() || last.back() != '\n';
    }
    lines.resize(kept);
}

std::size_t DRIXCapParser::dropLinesWithNul(Lines& lines) {
    const std::size_t before = lines.size();
    lines.erase(
        std::remove_if(lines.begin(), lines.end(),
                       [](const std::string& l) { return l.find('\0') != std::string::npos; }),
        lines.end());
    return before - lines.size();
}

void DRIXCapParser::parseCmdInput(Lines* input, std::vector<Row>& outv,
                                  std::string& errorString) const {
    if (input == nullptr) {
        errorString = "Null input received.";
        return;
    }
    std::map<std::string, std::vector<std::string>> headers;
    std::vector<std::string> fields;
    for (std::string& line : *input) {
        if (line.compare(0, REPORTLINE_LEN, REPORTLINE) == 0) {
            headers.clear();
            continue;
        }
        removeNewlines(line);
        fields.clear();
        const bool header = line.find(HEADERSTRING) != std::string::npos;
        if (!header && headers.empty()) {
            errorString =
                line + " (Error: no header defined so far, response must be an error string)";
            outv.clear();
            return;
        }
        split(line, ":", fields, true);
        // A header line needs a key as much as a data line does.
        if (fields.size() < 2) {
            errorString = line + " (Error: response without expected \":\" delimiter format)";
            outv.clear();
            return;
        }
        const std::string key = fields[0] + ":" + fields[1];
        if (header) {
            headers[key] = fields;
            continue;
        }
        const auto it = headers.find(key);
        if (it == headers.end()) continue;
        const std::vector<std::string>& columns = it->second;
        if (fields.size() != columns.size()) {
            errorString = line;
            if (fields.size() >= 3) {
                errorString +=
                    " (Error: " + fields[2] + ", length of data does not match header size)";
            }
            outv.clear();
            return;
        }
        Row row;
        for (std::size_t i = 0; i < columns.size(); ++i) row[columns[i]] = std::move(fields[i]);
        outv.push_back(std::move(row));
    }
}

bool DRIXCapParser::printable(const std::string& s) {
    // A plain range test: the same as isprint in the C locale, for every byte.
    for (const char c : s) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u > 0x7e) return false;
    }
    return true;
}

void DRIXCapParser::parseFilesystemPKRQuery(Lines* input, FsList& list, std::string& clusterName,
                                            bool monRemoteFlag, std::string& errorString) const {
    list.clear();
    if (input == nullptr || input->empty()) return;
    errorString.clear();
    std::vector<Row> rows;
    parseCmdInput(input, rows, errorString);
    if (!errorString.empty()) return;
    for (const Row& row : rows) {
        const std::string* type = find(row, FS_TYPE);
        if (type == nullptr) {
            errorString =
                "Unable to find attribute pkrq_fs_type in peekreg pkrq_fs_info all response.";
            return;
        }
        const bool local = *type == "local";
        if (!local && !monRemoteFlag) continue;
        const std::string* device = find(row, DEVICE);
        const std::string* owner = find(row, OWNER);
        if (device == nullptr || owner == nullptr) {
            errorString =
                "Unable to find attributes pkrq_device_name or pkrq_owning_cluster_name in peekreg "
                "pkrq_fs_info all response.";
            return;
        }
        if (owner->empty() || device->empty()) {
            errorString =
                "Unable to find values for pkrq_device_name or pkrq_owning_cluster_name in peekreg "
                "pkrq_fs_info all response.";
            return;
        }
        if (!printable(*owner)) {
            errorString =
                "Found non-printable value for pkrq_owning_cluster_name in peekreg pkrq_fs_info "
                "all "
                "response.";
            return;
        }
        // The device name goes into request lines, row fields and log lines.
        if (!printable(*device)) {
            errorString =
                "Found non-printable value for pkrq_device_name in peekreg pkrq_fs_info all "
                "response.";
            return;
        }
        const std::string* remote = find(row, REMOTE_DEVICE);
        const std::string remoteDevice = remote == nullptr ? std::string() : *remote;
        if (!printable(remoteDevice)) {
            errorString =
                "Found non-printable value for pkrq_remote_device_name in peekreg pkrq_fs_info all "
                "response.";
            return;
        }
        if (local) clusterName = *owner;
        list.emplace_back(*device, *owner + ":" + remoteDevice);
    }
}

int DRIXCapParser::processIQStatusOutput(const Lines* input, const std::string& fs,
                                         std::string& errorString) const {
    if (input == nullptr) {
        errorString = "Received null input";
        return -1;
    }
    const std::string notMounted = "File system " + fs + " is not mounted";
    if (input->empty()) {
        errorString = notMounted;
        return -1;
    }
    std::size_t i = 0;
    while (i < input->size() && (*input)[i].find(MOUNT_LIST_START) == std::string::npos) ++i;
    if (i + 1 >= input->size()) {
        std::string first = input->front();
        removeNewlines(first);
        errorString = first + " (Error: no list of mounts)";
        return -1;
    }
    for (++i; i < input->size(); ++i) {
        const std::string& line = (*input)[i];
        if (line.size() < 4 || endsWith(line, NOT_MOUNTED_END, sizeof NOT_MOUNTED_END - 1))
            continue;
        return 0;
    }
    errorString = notMounted;
    return -1;
}

const std::string& DRIXCapParser::getUsageType(const std::string& holdsMeta,
                                               const std::string& holdsData) const {
    if (holdsMeta == "Yes" && holdsData == "No") return METADATA;
    if (holdsMeta == "No" && holdsData == "Yes") return DATA;
    if (holdsMeta == "No" && holdsData == "No") return DESC;
    return DATAMETA;
}

uint64_t DRIXCapParser::signedText(const std::string& text) {
    // strtol saturates at LONG_MIN/LONG_MAX (ERANGE) instead of overflowing.
    errno = 0;
    const long v = std::strtol(text.c_str(), nullptr, 10);
    return static_cast<uint64_t>(static_cast<int64_t>(v));
}

uint64_t DRIXCapParser::unsignedText(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    uint64_t value = 0;
    bool saturated = false;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        const unsigned digit = static_cast<unsigned>(text[i] - '0');
        if (value > (UINT64_MAX - digit) / 10) saturated = true;
        if (!saturated) value = value * 10 + digit;
    }
    if (saturated) return UINT64_MAX;
    return negative ? 0 - value : value;
}

void DRIXCapParser::parseCAPQResponse(Lines* input, PoolTotals& totalVals,
                                      std::vector<Row>& perDiskVals,
                                      std::map<std::string, uint64_t>& inodeVals,
                                      std::string& errorString) const {
    std::vector<Row> rows;
    parseCmdInput(input, rows, errorString);
    if (!errorString.empty() || rows.empty()) return;
    static const char* const sums[] = {"diskSize", "freeBlocks", "freeFragments"};
    static const char* const inodes[] = {"usedInodes", "freeInodes", "allocatedInodes",
                                         "maxInodes"};
    for (Row& row : rows) {
        if (row.count("zsd") != 0) {
            const std::string& usage = getUsageType(row["metadata"], row["data"]);
            row["usage"] = usage;
            // A disk without a pool is kept for the sensor to report, but
            // there is nothing to sum it under.
            const std::string* pool = find(row, "storagePool");
            if (pool != nullptr) {
                auto poolIt = totalVals.find(*pool);
                if (poolIt == totalVals.end()) {
                    poolIt =
                        totalVals.emplace(*pool, std::map<std::string, std::vector<uint64_t>>())
                            .first;
                    for (const std::string* name : {&DATA, &METADATA, &DATAMETA, &DESC}) {
                        poolIt->second[*name] = std::vector<uint64_t>(3, 0);
                    }
                }
                std::vector<uint64_t>& total = poolIt->second[usage];
                if (total.size() < 3) total.resize(3, 0);
                for (int k = 0; k < 3; ++k) {
                    const std::string* figure = find(row, sums[k]);
                    if (figure != nullptr) total[k] += signedText(*figure);
                }
            }
            perDiskVals.push_back(std::move(row));
        } else if (row.count("inode") != 0) {
            for (const char* column : inodes) {
                const std::string* figure = find(row, column);
                if (figure != nullptr) inodeVals[column] = signedText(*figure);
            }
        }
    }
}

void DRIXCapParser::parsePoolResponse(const Lines* input, std::vector<Row>& rows,
                                      std::string& errorString) const {
    if (input == nullptr || input->empty()) return;
    static const char FAILED[] = "Failed to access";
    if (input->front().compare(0, sizeof FAILED - 1, FAILED) == 0) {
        std::string first = input->front();
        removeNewlines(first);
        errorString = first + " (Error: no filesystem does exist)";
        return;
    }
    static const char HEADING[] = "Storage pools in file system";
    static const char NAME[] = "Name";
    // Token position -> key; every other position is dropped.
    static const char* const keys[11] = {"poolName", nullptr,      nullptr,      nullptr,
                                         "data",     "metaData",   "tot_dataKB", "free_dataKB",
                                         nullptr,    "tot_metaKB", "free_metaKB"};
    static const char FIRST_DELIMITERS[] = " \t";
    static const char DELIMITERS[] = " ,.-()";
    for (const std::string& line : *input) {
        if (line.compare(0, sizeof HEADING - 1, HEADING) == 0 ||
            line.compare(0, sizeof NAME - 1, NAME) == 0) {
            continue;
        }
        Row row;
        // The first token ends at a blank or tab, and only that one character
        // is consumed; later tokens are cut at runs of DELIMITERS, which do
        // not hold the tab or the newline.
        std::size_t pos = line.find_first_not_of(FIRST_DELIMITERS);
        std::size_t index = 0;
        const char* delimiters = FIRST_DELIMITERS;
        while (pos != std::string::npos && pos < line.size()) {
            const std::size_t end = line.find_first_of(delimiters, pos);
            const std::size_t stop = end == std::string::npos ? line.size() : end;
            if (index < 11 && keys[index] != nullptr)
                row[keys[index]] = line.substr(pos, stop - pos);
            ++index;
            if (end == std::string::npos) break;
            delimiters = DELIMITERS;
            pos = line.find_first_not_of(DELIMITERS, end + 1);
        }
        rows.push_back(std::move(row));
    }
}

void DRIXCapParser::trim(std::string& s) {
    const std::string::size_type first = s.find_first_not_of(" \t");
    if (first == std::string::npos) {
        s.clear();
        return;
    }
    s.erase(s.find_last_not_of(" \t") + 1);
    s.erase(0, first);
}

bool DRIXCapParser::lesserVersion(const std::string& left, const std::string& right) {
    std::vector<std::string> l, r;
    split(left, ".", l, true);
    split(right, ".", r, true);
    const std::size_t n = l.size() < r.size() ? l.size() : r.size();
    for (std::size_t i = 0; i < n; ++i) {
        const long a = std::strtol(l[i].c_str(), nullptr, 10);
        const long b = std::strtol(r[i].c_str(), nullptr, 10);
        if (a != b) return a < b;
    }
    return l.size() < r.size();
}

void DRIXCapParser::parseClusterNameQuery(Lines* input, std::string& clusterName) const {
    if (input == nullptr || input->empty()) return;
    std::string& first = input->front();
    if (!first.empty() && first.back() == '\n') first.pop_back();
    std::vector<std::string> fields;
    split(first, ":", fields, false);
    if (fields.size() == 5) clusterName = fields[4];
}

void DRIXCapParser::parseNodePKRQuery(Lines* input, std::string& clusterName) const {
    parseClusterNameQuery(input, clusterName);
}
