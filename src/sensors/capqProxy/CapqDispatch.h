// Dispatch table of CapqRelay: the capacity, fileset, pool, quota, QoS,
// version and filesystem-list queries, each mapped to one administration tool.
#pragma once

#include <vector>

#include "CommandRelay.h"

namespace Capq {

constexpr char iqstatusCmd[] = "iqstatus";
constexpr char iqlsfilesetCmd[] = "iqlsfileset";
constexpr char iqlspoolCmd[] = "iqlspool";
constexpr char quotaFSETCmd[] = "quotaFSET";
constexpr char iqdfCmd[] = "iqdf";
constexpr char drixVersionCmd[] = "drixversion";
constexpr char throtlfslistCmd[] = "throtlfslist";
constexpr char iqlsqosCmd[] = "iqlsqos";
// Separates the query word from its arguments.
constexpr char COMMAND_DELIMETER[] = ":";

constexpr char endMarker[] = "_response_ capqEnd\n";

// The rows in matching order.
const std::vector<CommandRelay::DispatchRow>& dispatchTable();

}  // namespace Capq
