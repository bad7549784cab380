// Edge-triggered reporting of statistics samples, shared by the statistics
// sensor bases: a sample that delivers no data logs its reason only when the
// sample before it delivered data, and the first good sample after a bad one
// logs "Resumed reporting." once. The flags are the sensor's own sourceOK and
// sourcePrevOK (AbstractSensor); the caller copies sourceOK into sourcePrevOK
// at the end of every sample, whatever its outcome.
//
// Stateless functions, called on the sensor's own thread.
#pragma once

#include <cstdint>
#include <string>

#include "Logger.h"

class TallyqResponse;

namespace StatReport {

// The texts of one sensor family, printf formats fixed in the program. Text
// from outside (the reply's name) is only ever an argument, never a format.
struct Texts {
    const char* noReply;     // no reply, a reply of another kind, or no records
    const char* errorReply;  // an error reply; takes the reply's name (%s)
    const char* badCode;     // "_rc_" not 0; takes the code (%d)
    // Whether every text takes the request line as its first argument (%s).
    bool withRequest;
};

// The texts of the per-node sensors.
extern const Texts NODE_TEXTS;

constexpr const char* NO_CHANNEL = "Cannot connect to tallyq, no metrics to report.";
constexpr const char* RESUMED = "Resumed reporting.";

// Marks the sample failed; logs the formatted message at error level when the
// previous sample delivered data.
void fail(const Logger& log, bool& sourceOK, bool sourcePrevOK, const char* format, ...)
    VELMAR_PRINTF(4, 5);

// Marks the sample good; logs "Resumed reporting." at info level after a
// failed one.
void succeed(const Logger& log, bool& sourceOK, bool sourcePrevOK);

// "_rc_" of the first record's main part, back in host order and read as
// signed (4294967295 is -1); 0 when the key is missing. The reply must hold a
// record.
int32_t returnCode(const TallyqResponse& reply, const Logger& log);

// Whether reply is one the channel refused for its size, and has logged: the
// sample is then marked failed without a message of its own.
bool refused(const TallyqResponse* reply, bool& sourceOK);

// Checks one sample's reply (null when the channel gave none): it must be a
// response with records whose first record's "_rc_" is 0. Marks the sample
// good and returns true, or fails it with the family's texts.
bool acceptReply(const TallyqResponse* reply, const std::string& request, const Texts& texts,
                 const Logger& log, bool& sourceOK, bool sourcePrevOK);

}  // namespace StatReport
