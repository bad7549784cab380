// The channel to AdmCmdRelay (configuration key `admcmd`), through which the
// ZSD name map queries the configuration repository: one process-wide
// instance, created at the first getInstance, counted by reference, sharing
// nothing with CAPQStub. See RelayCmdChannel.h for the protocol, ownership
// and threads.
#pragma once

#include "RelayCmdChannel.h"

class ADMCmdStub final : public RelayCmdSingleton<ADMCmdStub> {
  public:
    static const RelayCmdChannel::Names NAMES;
    // The end line of every reply.
    static constexpr const char* RESP_END = "_response_ admCmdEnd\n";

  private:
    friend class RelayCmdSingleton<ADMCmdStub>;
    ADMCmdStub() = default;
};

// Instantiated once, in RelayCmdChannel.cpp.
extern template class RelayCmdSingleton<ADMCmdStub>;
