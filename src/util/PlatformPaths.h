// The one seam through which every fixed platform path is reached: /proc and
// /sys files, the filesystem's tool directory, node files and statistics
// socket, the service manager's scripts and tools.
//
// In production the root is empty and a path is used exactly as given. Tests
// point the root at a temporary tree holding fixtures and fake tools, either
// with setRoot() before any thread starts, or for a whole program through the
// environment variable VELMAR_PLATFORM_ROOT, read once at first use.
#pragma once

#include <string>

namespace Platform {

// Sets the root prefixed to every platform path. Call before threads start.
void setRoot(const std::string& root);

// The current root ("" in production).
const std::string& root();

// The path under which a production path is reached: root() + productionPath.
std::string path(const std::string& productionPath);

}  // namespace Platform
