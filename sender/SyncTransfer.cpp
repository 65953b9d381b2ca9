// The sender's transfer-profile front operations: each hands the maker the
// format on the wire and the sink's packet limits, builds a profile and keeps
// it for the worker. Application thread only, before the worker starts.
#include "foundation/SysLog.h"
#include "sender/Sync.h"

namespace ZARNITH {

using ORVEX::SysLog::LEVEL_ERROR;
using ORVEX::SysLog::LEVEL_INFO;

namespace {
constexpr ORVEX::Clock kFrontLimit = ORVEX::Clock::fromMicroseconds(400);

// A profile the worker can run: its resend ring has a size (a cycle of at
// least 1 us, messages to send, no more than the 16-bit sequence allows).
bool usable(const Profile& profile) {
    if (profile.packetCount == 0 || profile.framesQ14 == 0 || Sync::resendRingSize(profile) == 0) {
        LEVEL_ERROR << "configTransfer profile refused cycle=" << static_cast<unsigned long>(profile.cycle.toMicroseconds())
                    << " count=" << static_cast<unsigned>(profile.packetCount);
        return false;
    }
    return true;
}
}  // namespace

bool Sync::takeProfile(bool built) {
    if (!built) return false;
    const Profile profile = profileMaker;
    if (!usable(profile)) return false;
    profiles[0] = profile;
    profileCount = 1;
    return true;
}

void Sync::configTransferAuto(ORVEX::Clock limit, ORVEX::Clock start, ORVEX::Clock limit2) {
    LEVEL_INFO << "configTransferAuto " << " limit" << static_cast<unsigned long>(limit.toMicroseconds())
               << " maxPacketSize" << static_cast<unsigned>(packDataSize) << " maxPacketCount"
               << static_cast<unsigned>(packDataCount);
    profileMaker.setConfig(sendFormat, limit, packDataSize, packDataCount);
    profileMaker.configTransferAuto(start);
    const Profile first = profileMaker;
    profileMaker.setConfig(sendFormat, limit2, packDataSize, packDataCount);
    profileMaker.forceCountSearch = true;
    profileMaker.configTransferAuto(ORVEX::Clock());
    const Profile second = profileMaker;
    profileMaker.forceCountSearch = false;
    // An unusable fallback leaves the first one alone. Without a usable
    // first profile none is left: this operation has no result to tell the
    // failure, so the next connect refuses to run a profile made for another
    // format or sink ("transfer profile invalid").
    profileCount = 0;
    if (usable(first)) {
        profiles[0] = first;
        profileCount = 1;
        if (usable(second)) {
            profiles[1] = second;
            profileCount = 2;
        }
    }
    LEVEL_INFO << "configTransferAuto done";
}

bool Sync::configTransferFix(ORVEX::Clock cycle, int count) {
    profileMaker.setConfig(sendFormat, kFrontLimit, packDataSize, packDataCount);
    return takeProfile(profileMaker.configTransferFix(cycle, count));
}

bool Sync::configTransferVar(ORVEX::Clock cycle, int count) {
    profileMaker.setConfig(sendFormat, kFrontLimit, packDataSize, packDataCount);
    return takeProfile(profileMaker.configTransferVar(cycle, count));
}

bool Sync::configTransferFixAuto(ORVEX::Clock cycle) {
    profileMaker.setConfig(sendFormat, kFrontLimit, packDataSize, packDataCount);
    return takeProfile(profileMaker.configTransferFixAuto(cycle));
}

bool Sync::configTransferVarAuto(ORVEX::Clock cycle) {
    profileMaker.setConfig(sendFormat, kFrontLimit, packDataSize, packDataCount);
    return takeProfile(profileMaker.configTransferVarAuto(cycle));
}

bool Sync::configTransferRandom(ORVEX::Clock cycleMin, ORVEX::Clock cycle, int count) {
    profileMaker.setConfig(sendFormat, kFrontLimit, packDataSize, packDataCount);
    return takeProfile(profileMaker.configTransferRandom(cycleMin, cycle, count));
}

void Sync::setConfigTransfer(const Profile& profile) {
    profileMaker.setConfig(sendFormat, kFrontLimit, packDataSize, packDataCount);
    if (!usable(profile)) return;
    profiles[0] = profile;
    profileCount = 1;
}

ProfileMaker Sync::getProfileMaker() {
    profileMaker.setConfig(sendFormat, kFrontLimit, packDataSize, packDataCount);
    return profileMaker;
}

ORVEX::Clock Sync::getCycleTime() const { return profiles[0].cycle; }

ORVEX::Clock Sync::getMinCycleTime() const { return profiles[0].cycleMin; }

std::uint64_t Sync::getCycleSize() const {
    return static_cast<std::uint64_t>(profiles[0].packetCount) * profiles[0].packetSize;
}

std::uint32_t Sync::getMode() const { return profiles[0].mode; }

}  // namespace ZARNITH
