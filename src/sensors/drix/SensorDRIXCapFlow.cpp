#include "SensorDRIXCapFlow.h"

#include <algorithm>

#include "StatReport.h"

SensorDRIXCapFlow::SensorDRIXCapFlow(SensorID::SensorID id, const MetricsMetadata* metricTable,
                                     uint32_t numMetrics, const uint32_t* perVirtSensorCounts,
                                     uint32_t numVirtSets, dataSet_t* sets, const Texts& t,
                                     const Listing& l)
    : AbstractSensor(id, metricTable, numMetrics, perVirtSensorCounts, numVirtSets, 1000000),
      texts(t),
      listing(l),
      dataSets(sets),
      numDataSets(numVirtSets) {}

int32_t SensorDRIXCapFlow::init() {
    if (injected != nullptr) {
        channel = injected;
        return 0;
    }
    channel = ownChannel.bind() ? &ownChannel : nullptr;
    return channel == nullptr ? -1 : 0;
}

int32_t SensorDRIXCapFlow::getStatus() { return channel == nullptr ? -1 : 0; }

int32_t SensorDRIXCapFlow::shutdown() {
    // The rows stay: the controller may still be encoding the last sample.
    // They go with the sensor.
    ownChannel.release();
    channel = nullptr;
    return 0;
}

void SensorDRIXCapFlow::clearRecordCounts() {
    for (uint32_t g = 0; g < numDataSets; ++g) dataSets[g].numSets = 0;
}

bool SensorDRIXCapFlow::listingFailed(const FsPair& fs, const std::string& error) {
    if (sourcePrevOK) log->logWarning(texts.listingFailure, fs.first.c_str(), error.c_str());
    return true;
}

bool SensorDRIXCapFlow::refreshList(bool remote, bool& stopped) {
    const int64_t t = now();
    if (listFSremoteFS.empty() || lastUpdate + LIST_REFRESH_SECS < t) {
        getLocalClusterName(drixClusterName);
        std::string error;
        CapqChannel::Reply reply = channel->executeCmd("fsInfo");
        // Whatever came back once the stop began (nothing, or what a relay
        // whose tool the stop ended made of it) is no discovery.
        if (channel->isStopping()) {
            stopped = true;
            return false;
        }
        if (reply) DRIXCapParser::joinPieces(*reply);
        drixCapParser.parseFilesystemPKRQuery(reply.get(), listFSremoteFS, drixClusterName, remote,
                                              error);
        reply.reset();
        if (error.empty()) {
            if (!lastPeekregError.empty()) {
                log->logInfo("getMetricData: peekreg succeeded");
                lastPeekregError.clear();
            }
            lastUpdate = t;
        } else if (error != lastPeekregError) {
            log->logError("getMetricData: peekreg failed: %s", error.c_str());
            lastPeekregError = error;
        }
    }
    if (listFSremoteFS.empty() || drixClusterName.empty()) {
        // A stop that began since the answer came makes this no failure.
        if (channel->isStopping()) {
            stopped = true;
            return false;
        }
        StatReport::fail(*log, sourceOK, sourcePrevOK,
                         "No local filesystems discovered, therefore nothing to send");
        clearRecordCounts();
        return false;
    }
    return true;
}

std::vector<std::pair<const SensorDRIXCapFlow::FsPair*, bool>> SensorDRIXCapFlow::pollOrder() {
    std::vector<std::pair<const FsPair*, bool>> order;
    std::vector<std::string> kept;
    for (const FsPair& fs : listFSremoteFS) {
        if (std::find(closers.begin(), closers.end(), fs.first) == closers.end())
            order.emplace_back(&fs, false);
    }
    for (const std::string& name : closers) {
        const auto it = std::find_if(listFSremoteFS.begin(), listFSremoteFS.end(),
                                     [&](const FsPair& fs) { return fs.first == name; });
        if (it == listFSremoteFS.end()) continue;
        order.emplace_back(&*it, true);
        kept.push_back(name);
    }
    closers.swap(kept);
    return order;
}

void SensorDRIXCapFlow::noteListing(const std::string& fs, bool closed) {
    const auto it = std::find(closers.begin(), closers.end(), fs);
    if (it != closers.end()) closers.erase(it);
    if (closed) closers.push_back(fs);
}

const dataSet_t* SensorDRIXCapFlow::getMetricData() {
    sourceOK = true;
    std::string error;
    // The daemon's stop cut the poll short: what it gathered is not a sample,
    // and nothing failed, so it ends without records and without a word.
    bool stopped = false;
    if (channel == nullptr) {
        StatReport::fail(*log, sourceOK, sourcePrevOK, "%s", texts.noChannel);
        clearRecordCounts();
    } else if (refreshList(remoteFlag(), stopped)) {
        startPoll();
        std::size_t failures = 0;
        // Whether the next poll comes after the restart gap has passed.
        const bool longPeriod =
            getPollPeriod() >= static_cast<uint64_t>(RelayCmdChannel::RECONNECT_TIMEOUT) * 1000000;
        // Whether a filesystem that is no closer got its listing in this poll.
        bool othersServed = false;
        for (const auto& entry : pollOrder()) {
            const FsPair& fs = *entry.first;
            const CapqChannel::Readiness ready = channel->readiness();
            // Each request would come back null and mark its filesystem
            // unmounted; the rest of the list waits for the next poll.
            if (ready == CapqChannel::Readiness::Waiting) {
                stopped = channel->isStopping();
                break;
            }
            // Were it to close the channel again, the others' next polls
            // within the restart gap would find none: while they have a
            // relay, ask it only when the relay could restart at once. With
            // no one else served, it must ask, or nothing would restart it.
            if (entry.second && othersServed && ready != CapqChannel::Readiness::Settled &&
                !longPeriod)
                continue;
            error.clear();
            CapqChannel::Reply status = channel->executeCmd("iqstatus:" + fs.second);
            if (channel->isStopping()) {
                stopped = true;
                break;
            }
            const int mounted = drixCapParser.processIQStatusOutput(status.get(), fs.first, error);
            status.reset();
            const auto known = iqstatusErrDump.find(fs.first);
            if (mounted != 0) {
                if (known == iqstatusErrDump.end() || known->second != error) {
                    log->logInfo("Filesystem %s will not be polled, reason: %s", fs.first.c_str(),
                                 error.c_str());
                    iqstatusErrDump[fs.first] = error;
                }
                continue;
            }
            if (known != iqstatusErrDump.end()) {
                log->logInfo("Filesystem %s : polling will resume", fs.first.c_str());
                iqstatusErrDump.erase(known);
            }
            error.clear();
            CapqChannel::Reply listing = channel->executeCmd(listingRequest(fs));
            if (channel->isStopping()) {
                stopped = true;
                break;
            }
            noteListing(fs.first, !listing);
            if (listing) {
                othersServed = othersServed || !entry.second;
                DRIXCapParser::joinPieces(*listing);
                const std::size_t cut = DRIXCapParser::dropLinesWithNul(*listing);
                if (cut != 0) log->logWarning(DRIXCapParser::NUL_LINES, cut, fs.first.c_str());
            }
            collect(fs, listing.get(), error);
            listing.reset();
            if (!error.empty() && listingFailed(fs, error)) ++failures;
        }
        if (!stopped) stopped = channel->isStopping();
        if (!stopped) finishPoll(failures, error);
    }
    firstRun = false;
    if (stopped) {
        clearRecordCounts();
        return dataSets;
    }
    sourcePrevOK = sourceOK;
    return dataSets;
}

void SensorDRIXCapFlow::finishPoll(std::size_t failures, const std::string&) {
    if (failures == listFSremoteFS.size()) {
        clearRecordCounts();
        StatReport::fail(*log, sourceOK, sourcePrevOK, "%s", texts.allFailed);
        return;
    }
    if (buildRecords() == 0) {
        StatReport::fail(*log, sourceOK, sourcePrevOK, "%s", texts.noRecords);
    } else {
        StatReport::succeed(*log, sourceOK, sourcePrevOK);
    }
}
