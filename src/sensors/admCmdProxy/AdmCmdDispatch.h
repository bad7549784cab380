// Dispatch table of AdmCmdRelay: the configuration-repository queries for the
// ZSD listing and the cluster name.
#pragma once

#include <vector>

#include "CommandRelay.h"

namespace AdmCmd {

constexpr char endMarker[] = "_response_ admCmdEnd\n";

// The rows in matching order.
const std::vector<CommandRelay::DispatchRow>& dispatchTable();

}  // namespace AdmCmd
