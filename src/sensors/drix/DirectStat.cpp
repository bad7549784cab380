#include "DirectStat.h"

#include <endian.h>

#include "StatReport.h"
#include "StringParser.h"
#include "TallyqStub.h"

namespace DirectStat {

bool Channel::acquire() {
    if (query != nullptr) return true;
    if (stub == nullptr) stub = TallyqStub::getInstance();
    return stub != nullptr;
}

void Channel::release() {
    // A second shutdown must not give back a reference that another sensor
    // still holds.
    if (stub != nullptr && !released) TallyqStub::releaseInstance();
    released = true;
}

TallyqResponse* Channel::execute(const std::string& request) {
    if (query != nullptr) return query->executeQuery(request);
    if (stub != nullptr && !released) return stub->executeQuery(request);
    return nullptr;
}

std::unique_ptr<TallyqResponse> fetch(Channel& channel, const std::string& request,
                                      const Logger& log, bool& sourceOK, bool sourcePrevOK) {
    if (!channel.available()) {
        StatReport::fail(log, sourceOK, sourcePrevOK, "%s", StatReport::NO_CHANNEL);
        return nullptr;
    }
    std::unique_ptr<TallyqResponse> reply(channel.execute(request));
    if (!StatReport::acceptReply(reply.get(), request, StatReport::NODE_TEXTS, log, sourceOK,
                                 sourcePrevOK))
        return nullptr;
    return reply;
}

uint64_t microsBE(double seconds) { return htobe64(secondsToMicros(seconds)); }

}  // namespace DirectStat
