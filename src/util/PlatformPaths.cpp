#include "PlatformPaths.h"

#include <cstdlib>

namespace Platform {
namespace {

std::string& rootStorage() {
    static std::string r = [] {
        const char* env = std::getenv("VELMAR_PLATFORM_ROOT");
        std::string v = env ? env : "";
        while (v.size() > 1 && v.back() == '/') v.pop_back();
        return v;
    }();
    return r;
}

}  // namespace

void setRoot(const std::string& root) {
    std::string v = root;
    while (!v.empty() && v.back() == '/') v.pop_back();
    rootStorage() = v;
}

const std::string& root() { return rootStorage(); }

std::string path(const std::string& productionPath) { return rootStorage() + productionPath; }

}  // namespace Platform
