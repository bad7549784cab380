// Parsers of the listings that CapqRelay returns: the colon-format listings
// of the filesystem's administration tools, the filesystem list and mount
// status, and the disk-free listing.
//
// A reply is the vector of lines the relay channel hands back (each with its
// newline), or null when the channel gave none. Failure is reported by setting
// an error text that the caller passed in empty.
//
// Stateless: each sensor holds its own parser and calls it on its own thread;
// only the constant usage names are shared, so no lock is needed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

class DRIXCapParser {
  public:
    typedef std::vector<std::string> Lines;
    // One data line: column name -> field.
    typedef std::map<std::string, std::string> Row;
    // Filesystems to poll: device name here, owning cluster + ":" + device there.
    typedef std::vector<std::pair<std::string, std::string>> FsList;
    // Pool -> usage name -> {disk size, free blocks, free fragments}.
    typedef std::map<std::string, std::map<std::string, std::vector<uint64_t>>> PoolTotals;

    // Usage names of a disk by what it holds.
    static const std::string DATA;      // "dataOnly"
    static const std::string METADATA;  // "metadataOnly"
    static const std::string DATAMETA;  // "dataAndMetadata", also every unclassified pair
    static const std::string DESC;      // "descOnly"

    // Joins the pieces the relay channel cuts a long line into: a piece that
    // lacks its newline goes on in the next one. The bytes stay as many, so
    // the channel's bound on a reply still holds.
    static void joinPieces(Lines& lines);
    // Removes the lines that hold a NUL byte, whose fields would be cut at it
    // and reported under a shorter name; returns how many it removed.
    static std::size_t dropLinesWithNul(Lines& lines);
    // The callers' warning about them (count, filesystem).
    static constexpr const char* NUL_LINES =
        "Skipped %zu listing line(s) of filesystem %s holding a NUL byte";

    // Colon-format listing: header lines (holding "HEADER") name the columns
    // under the key field0 ":" field1; each data line with a known key and the
    // same field count appends one row to outv. A "*** Report" line forgets
    // every header. Newlines are removed from the lines examined. On error
    // errorString is set and outv emptied; parsing stops there.
    void parseCmdInput(Lines* input, std::vector<Row>& outv, std::string& errorString) const;

    // The "fsInfo" listing. list is emptied, then filled in reply order; rows
    // of remote filesystems are kept only with monRemoteFlag. clusterName is
    // set from each local row. A null or empty reply changes nothing else.
    // On a bad row errorString is set and the pairs before it stay.
    void parseFilesystemPKRQuery(Lines* input, FsList& list, std::string& clusterName,
                                 bool monRemoteFlag, std::string& errorString) const;

    // The "iqstatus" listing: 0 when some node mounts fs, else -1 with the
    // reason in errorString. The lines are not changed.
    int processIQStatusOutput(const Lines* input, const std::string& fs,
                              std::string& errorString) const;

    // The "iqdf" listing, added to the three containers (never emptied here).
    // Every pool met gets all four usage names. A disk row without
    // "storagePool" is kept in perDiskVals but not summed; a missing figure
    // sums as 0; an inode row's missing column is left out of inodeVals.
    void parseCAPQResponse(Lines* input, PoolTotals& totalVals, std::vector<Row>& perDiskVals,
                           std::map<std::string, uint64_t>& inodeVals,
                           std::string& errorString) const;

    // The "iqlspool" listing, a table for people: each line but the headings
    // appends one row of the tokens at positions 0, 4, 5, 6, 7, 9 and 10. A
    // first line "Failed to access ..." is the tool's error: no rows.
    void parsePoolResponse(const Lines* input, std::vector<Row>& rows,
                           std::string& errorString) const;

    // Usage name for a disk's "metadata" and "data" flags, compared exactly.
    const std::string& getUsageType(const std::string& holdsMeta,
                                    const std::string& holdsData) const;

    // Utilities.
    // Removes blanks and tabs from both ends.
    static void trim(std::string& s);
    // Dotted versions compared number by number; a shorter equal prefix is less.
    static bool lesserVersion(const std::string& left, const std::string& right);
    // The fifth of exactly five non-empty fields of the first line.
    void parseClusterNameQuery(Lines* input, std::string& clusterName) const;
    void parseNodePKRQuery(Lines* input, std::string& clusterName) const;

    // Number conversions that never throw.
    // strtol in base 10, saturating at the signed range; the signed value is
    // then taken modulo 2^64 (so "-5" is 2^64 - 5). No digits give 0.
    static uint64_t signedText(const std::string& text);
    // Formatted unsigned stream input: blanks skipped, an optional sign, the
    // digits up to the first other character; above 2^64 - 1 saturates, a
    // minus negates modulo 2^64, no digits give 0.
    static uint64_t unsignedText(const std::string& text);

    // True when every byte is printable ASCII (space to tilde).
    static bool printable(const std::string& s);
};
