// The seam through which statistics sensors send their requests: one request
// line in, one reply out. In the daemon the sensors use the shared channel
// (TallyqStub::executeQuery); unit tests, the fuzzer and the benchmark hand a
// sensor an implementation that answers from given bytes instead, so a sensor
// runs from request to row without a relay.
//
// An implementation is borrowed by the sensors that use it and must outlive
// them; it is called on the sensor's own thread.
#pragma once

#include <string>

class TallyqResponse;

class TallyqQuery {
  public:
    virtual ~TallyqQuery() = default;
    // The reply to request, owned by the caller, or null when there is none.
    virtual TallyqResponse* executeQuery(const std::string& request) = 0;
};
