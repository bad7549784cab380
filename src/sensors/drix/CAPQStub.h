// The channel to CapqRelay (configuration key `capqcmd`), shared by every
// capacity sensor: one process-wide instance, created at the first
// getInstance, counted by reference. See RelayCmdChannel.h for the protocol,
// ownership and threads.
#pragma once

#include "RelayCmdChannel.h"

class CAPQStub final : public RelayCmdSingleton<CAPQStub> {
  public:
    static const RelayCmdChannel::Names NAMES;

  private:
    friend class RelayCmdSingleton<CAPQStub>;
    CAPQStub() = default;
};

// Instantiated once, in RelayCmdChannel.cpp.
extern template class RelayCmdSingleton<CAPQStub>;
