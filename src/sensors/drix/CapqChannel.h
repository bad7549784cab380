// How the capacity sensors reach CapqRelay: one request line in, the reply
// lines out (owned by the caller), null when the channel gave none. The
// sensors talk to this interface, so tests can answer with canned replies.
//
// CapqStubChannel is the production one: it holds one reference to the
// process-wide CAPQStub from bind() until release() (or destruction). It is
// owned by one sensor and used on that sensor's thread only.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "CAPQStub.h"

class CapqChannel {
  public:
    typedef std::unique_ptr<std::vector<std::string>> Reply;
    typedef RelayCmdChannel::Readiness Readiness;
    virtual ~CapqChannel() = default;
    virtual Reply executeCmd(const std::string& request) = 0;
    // What a request now would meet (see RelayCmdChannel::Readiness).
    virtual Readiness readiness() { return Readiness::Settled; }
    // Whether the daemon's stop has abandoned the channel: a null reply then
    // means the poll was cut short, not that a tool or the relay failed.
    virtual bool isStopping() { return false; }
};

class CapqStubChannel final : public CapqChannel {
  public:
    ~CapqStubChannel() override { release(); }

    // Takes a reference to the channel; false when there is none.
    bool bind() {
        release();
        stub = CAPQStub::getInstance();
        bound = true;  // getInstance counts a holder even when it gives null
        return stub != nullptr;
    }
    void release() {
        if (!bound) return;
        CAPQStub::closeInstance();
        bound = false;
        stub = nullptr;
    }
    Reply executeCmd(const std::string& request) override {
        return Reply(stub == nullptr ? nullptr : stub->executeCmd(request));
    }
    Readiness readiness() override {
        return stub == nullptr ? Readiness::Waiting : stub->readiness();
    }
    bool isStopping() override { return stub != nullptr && stub->isStopping(); }

  private:
    CAPQStub* stub = nullptr;
    bool bound = false;
};
