// The polling flow shared by the sensors that read the filesystem's
// administration listings filesystem by filesystem (capacity, pool, fileset,
// fileset quota): discover the filesystems with "fsInfo" (refreshed hourly),
// ask each one's mount status with "iqstatus:", send the sensor's own listing
// request to each mounted one, and report every outcome to the log once per
// change rather than at every poll.
//
// One filesystem's listing can close the shared channel (a reply over the
// size bound, a tool past the time-out, a relay that died), and the relay may
// start again only after its restart gap. So the flow asks nothing on a
// channel that would refuse (the rest of the poll waits for the next one),
// and asks the filesystems whose last listing closed the channel (closers)
// after all others, the one that closed it last at the very end. When the
// period is shorter than the restart gap and another filesystem's listing
// came back in this poll, a closer is asked only while the relay could be
// restarted at once after it: the others keep their relay. Otherwise a
// closer is always asked once the channel would take a request, so that a
// list of closers on a closed channel starts the relay again as soon as it
// may, and every closer in turn gets the relay first.
//
// A subclass names its listing request, parses and collects each reply, and
// builds its records; the quota base also replaces the end of the poll.
//
// Owned by the controller block that runs the sensor. Every virtual operation,
// the hooks included, is called only on the sensor's own thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "AbstractSensor.h"
#include "CapqChannel.h"
#include "DRIXCapParser.h"

class SensorDRIXCapFlow : public AbstractSensor {
  public:
    typedef std::pair<std::string, std::string> FsPair;  // device name, remote form

    // The messages that carry the sensor's tool word (printf formats).
    struct Texts {
        const char* noChannel;       // no channel
        const char* listingFailure;  // warning; the filesystem (%s) and the error (%s)
        const char* allFailed;       // every filesystem's listing failed
        const char* noRecords;       // nothing to report
    };

    // The listing request of one mounted filesystem: the word, ":" and the
    // filesystem's device name, or its remote form.
    struct Listing {
        std::string word;
        bool remoteForm;
    };

    int32_t init() override;
    const dataSet_t* getMetricData() override;
    int32_t getStatus() override;
    int32_t shutdown() override;

    // Makes the sensor use `channel` (borrowed, must outlive the sensor's use
    // of it) instead of CAPQStub. Call before init.
    void useChannel(CapqChannel* channel) { injected = channel; }

    // Seconds after which the filesystem list is refreshed.
    static constexpr int64_t LIST_REFRESH_SECS = 3600;

  protected:
    // dataSets points at the sensor's numVirtSets data sets (owned by it).
    SensorDRIXCapFlow(SensorID::SensorID id, const MetricsMetadata* metricTable,
                      uint32_t numMetrics, const uint32_t* perVirtSensorCounts,
                      uint32_t numVirtSets, dataSet_t* dataSets, const Texts& texts,
                      const Listing& listing);

    // Hooks of one poll.
    // Whether remote filesystems are polled; read once per poll.
    virtual bool remoteFlag() const { return monRemoteFs.load(); }
    // Called before the first filesystem of a poll; forget last poll's data.
    virtual void startPoll() = 0;
    // The listing request for one mounted filesystem.
    std::string listingRequest(const FsPair& fs) const {
        return listing.word + ":" + (listing.remoteForm ? fs.second : fs.first);
    }
    // Parses one filesystem's reply (possibly null) and keeps what it needs;
    // a non-empty error marks the filesystem failed.
    virtual void collect(const FsPair& fs, DRIXCapParser::Lines* reply, std::string& error) = 0;
    // Logs a filesystem's listing error; true when it counts as a failure.
    virtual bool listingFailed(const FsPair& fs, const std::string& error);
    // Builds the records from what was collected; returns how many, over all
    // groups. Every group's numSets covers this poll only.
    virtual std::size_t buildRecords() = 0;
    // Steps after the filesystems were polled: all failed, no records,
    // resumed. `error` is the text left by the last mount check or listing.
    virtual void finishPoll(std::size_t failures, const std::string& error);
    // The current time in seconds (a seam for tests).
    virtual int64_t now() const { return static_cast<int64_t>(std::time(nullptr)); }

    void clearRecordCounts();

    // Set once by the constructor.
    const Texts& texts;
    const Listing listing;
    dataSet_t* const dataSets;
    const uint32_t numDataSets;

    // Touched by the sensor's own thread only.
    CapqChannel* channel = nullptr;  // injected, or ownChannel; null without one
    std::string drixClusterName;
    DRIXCapParser::FsList listFSremoteFS;
    DRIXCapParser drixCapParser;
    int64_t lastUpdate = 0;
    std::string lastPeekregError;
    std::map<std::string, std::string> iqstatusErrDump;
    // Device names whose last listing closed the channel, in the order of
    // those closes.
    std::vector<std::string> closers;

  private:
    // False when the poll ends before the filesystems (steps 4 to 6);
    // stopped is set when the daemon's stop refused or cut off the listing.
    bool refreshList(bool remote, bool& stopped);
    // This poll's filesystems: list order, then the closers in the order of
    // their closes (flagged true). Forgets closers that left the list.
    std::vector<std::pair<const FsPair*, bool>> pollOrder();
    // Records whether fs's listing closed the channel.
    void noteListing(const std::string& fs, bool closed);

    CapqChannel* injected = nullptr;
    CapqStubChannel ownChannel;
};
