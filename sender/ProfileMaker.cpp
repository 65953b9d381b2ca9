#include "sender/ProfileMaker.h"

#include <algorithm>
#include <cmath>

#include "foundation/SysLog.h"

namespace ZARNITH {

using ORVEX::Clock;
using ORVEX::SysLog::LEVEL_INFO;
using ORVEX::SysLog::LEVEL_WARNING;

namespace {

constexpr std::uint64_t kPsPerUs = 1000000ULL;
constexpr std::uint64_t kPsPer10Us = 10000000ULL;
const Clock kSearchStep = Clock::fromMicroseconds(50);
// The shortest cycle a profile may have, and the floor of the limit cycle
// (a limit of 0 would search from a cycle of 0).
const Clock kMinCycle = Clock::fromMicroseconds(1);
const Clock kMinLimit = Clock::fromMicroseconds(100);
// Every search gives up after this many candidate cycles (one second in
// steps of 50 microseconds) or message counts.
constexpr int kMaxSearchSteps = 20000;
constexpr int kMaxCount = 0xFFFF;

bool shorter(Clock a, Clock b) { return a.Comp(b) < 0; }

// Bytes for a time at a byte rate, in single precision, rounded up.
std::uint64_t ceilBytes(std::uint64_t cycleUs, float factor, std::uint64_t rate) {
    const float x = static_cast<float>(cycleUs) * factor * static_cast<float>(rate);
    return static_cast<std::uint64_t>(std::ceil(x));
}

std::uint64_t roundUpTo(std::uint64_t value, std::uint64_t unit) {
    if (unit == 0) return value;
    return (value + unit - 1) / unit * unit;
}

// 1.03 x limit, in whole microseconds.
Clock marginLimit(Clock limit) {
    const double us = static_cast<double>(limit.toMicroseconds()) * 1.03;
    return Clock::fromMicroseconds(static_cast<std::uint64_t>(us));
}

bool quorvanelMinimum(unsigned short min) {
    static const unsigned short allowed[] = {5,   10,   16,   20,   33,   41,   52,   83,    104,   166,   208,  333,
                                             416, 520,  833,  1041, 1666, 2083, 3333, 4166, 8333, 16666, 33333};
    for (unsigned short a : allowed)
        if (a == min) return true;
    return false;
}

}  // namespace

ProfileMaker::ProfileMaker() : cycle(Clock::fromSeconds(1)) {}

ProfileMaker::operator Profile() const {
    Profile p;
    p.cycle = cycle;
    p.packetSize = packetSize;
    p.packetSizeMax = packetSizeMax;
    p.framesQ14 = framesQ14;
    p.packetCount = packetCount;
    p.cycleMin = cycleMin;
    p.mode = mode;
    return p;
}

void ProfileMaker::setConfig(FormatConfigure cfg, Clock limit, unsigned short size, unsigned short count) {
    config = cfg;
    limitCycle = limit;
    packDataSize = size;
    packDataCount = count;
}

bool ProfileMaker::setParameter(unsigned short min, unsigned short max, ProfileID id, unsigned int base,
                                unsigned int frame) {
    sinkCycleMin = min;
    sinkCycleMax = max;
    profileId = id;
    baseMin = base;
    frameMax = frame;
    cycle = Clock();
    if (min == 0 && max == 0 && id == 0) return false;
    quorvanelAllowed = ((id & SINKCYCLE) != 0 && min == 3) || quorvanelMinimum(min);
    return true;
}

std::uint64_t ProfileMaker::byteRate() const {
    // 64 bits: rate x bits x channels passes 32 bits for high formats.
    return config.getSpeed() * config.getBits() * config.getChannel() / 8;
}

std::uint64_t ProfileMaker::frameBytes() const { return config.getWid() * config.getChannel(); }

std::uint64_t ProfileMaker::budget(int count) const {
    const std::uint64_t messages =
        count > 0 && static_cast<unsigned>(count) < packDataCount ? static_cast<std::uint64_t>(count) : packDataCount;
    return static_cast<std::uint64_t>(packDataSize) * messages;
}

bool ProfileMaker::setVarProfile(Clock c, std::uint64_t count, std::uint64_t bytes, std::uint64_t frame) {
    cycle = c;
    packetCount = static_cast<std::uint16_t>(count);
    packetSize = static_cast<std::uint32_t>(bytes);
    packetSizeMax = packetSize;
    framesQ14 = static_cast<std::uint32_t>(bytes / frame * 16384);
    cycleMin = Clock();
    mode = Profile::MODE_VAR;
    return true;
}

bool ProfileMaker::configTransferFix(Clock wanted, int count) {
    const std::uint64_t rate = byteRate();
    const std::uint64_t frame = frameBytes();
    const std::uint64_t limit = budget(count);
    if (limit == 0 || rate == 0 || shorter(wanted, kMinCycle)) return false;
    packetSize = 0;
    Clock c = wanted;
    std::uint64_t bytes = roundUpTo(ceilBytes(c.toMicroseconds(), 1.03e-6f, rate), frame);
    while (bytes >= limit) {
        // Shorten by 50 us until the cycle's bytes fit the message budget.
        if (!shorter(kSearchStep, c) || c.toMicroseconds() <= kSearchStep.toMicroseconds()) return false;
        c -= kSearchStep;
        bytes = roundUpTo(ceilBytes(c.toMicroseconds(), 1.03e-6f, rate), frame);
    }
    std::uint64_t count16 = (bytes + packDataSize - 1) / packDataSize;
    if (count16 == 0) count16 = 1;
    if (count16 > kMaxCount) return false;
    const std::uint64_t fps = rate / frame;
    const std::uint64_t perMessageUs = c.toMicroseconds() / count16;
    const std::uint64_t q14PerSecond = fps * 16384;
    if (perMessageUs != 0 && q14PerSecond > UINT64_MAX / perMessageUs) return false;
    const std::uint64_t frames = q14PerSecond * perMessageUs / 1000000;
    if (frames == 0 || frames > UINT32_MAX) {
        LEVEL_WARNING << "configTransferFix no frames cycle=" << static_cast<unsigned long>(c.toMicroseconds());
        return false;
    }
    cycle = c;
    packetCount = static_cast<std::uint16_t>(count16);
    framesQ14 = static_cast<std::uint32_t>(frames);
    packetSizeMax = static_cast<std::uint32_t>((frames + frames * 491 / 16384 + 16383) / 16384 * frame);
    cycleMin = Clock();
    mode = Profile::MODE_FIX;
    return true;
}

bool ProfileMaker::configTransferVar(Clock wanted, int count) {
    const std::uint64_t rate = byteRate();
    const std::uint64_t frame = frameBytes();
    const std::uint64_t limit = budget(count);
    if (limit == 0 || rate == 0 || shorter(wanted, kMinCycle)) return false;
    std::uint64_t size = roundUpTo(ceilBytes(wanted.toMicroseconds(), 1e-6f, rate), frame);
    Clock c = wanted;
    if (size > limit) {
        size = limit;
        const float us = 1e6f / static_cast<float>(rate) * static_cast<float>(limit);
        c = Clock::fromMicroseconds(static_cast<std::uint64_t>(std::ceil(us)));
    }
    const std::uint64_t count16 = (size + packDataSize - 1) / packDataSize;
    if (count16 == 0 || count16 > kMaxCount) return false;
    size = size / count16;
    size -= size % frame;
    if (size == 0 || size > UINT32_MAX || shorter(c, kMinCycle)) {
        LEVEL_WARNING << "configTransferVar no frames cycle=" << static_cast<unsigned long>(c.toMicroseconds());
        return false;
    }
    return setVarProfile(c, count16, size, frame);
}

bool ProfileMaker::countSearch(bool var, Clock wanted) {
    // Without a budget or a rate no count builds; past the message limit
    // every count builds the profile of the limit.
    if (packDataSize == 0 || packDataCount == 0 || byteRate() == 0 || shorter(wanted, kMinCycle)) return false;
    const int last = std::min(kMaxCount, static_cast<int>(packDataCount) + 1);
    bool havePrevious = false;
    Clock previous;
    for (int n = 1; n <= last; ++n) {
        const bool built = var ? configTransferVar(wanted, n) : configTransferFix(wanted, n);
        if (!built) continue;
        if (cycle == wanted) return true;
        if (havePrevious && cycle == previous) {
            // The extra message gained nothing: back to the count before.
            return var ? configTransferVar(wanted, n - 1) : configTransferFix(wanted, n - 1);
        }
        havePrevious = true;
        previous = cycle;
    }
    return havePrevious;
}

bool ProfileMaker::configTransferFixAuto(Clock wanted) { return countSearch(false, wanted); }

bool ProfileMaker::configTransferVarAuto(Clock wanted) { return countSearch(true, wanted); }

bool ProfileMaker::configTransferRandom(Clock shortest, Clock wanted, int count) {
    if (!configTransferFix(wanted, count)) return false;
    if (shortest.picoseconds() <= 999999 || !shorter(shortest, cycle)) return false;
    mode = Profile::MODE_RANDOM;
    cycleMin = shortest;
    return true;
}

bool ProfileMaker::configTransferSizeFix(unsigned long size) {
    const std::uint64_t rate = byteRate();
    const std::uint64_t frame = frameBytes();
    if (rate == 0 || size == 0 || size > UINT32_MAX || packDataSize == 0) return false;
    const float us = 1e6f / static_cast<float>(rate) * static_cast<float>(size);
    const Clock c = Clock::fromMicroseconds(static_cast<std::uint64_t>(std::ceil(us)));
    std::uint64_t bytes = size;
    std::uint64_t count = 1;
    while (bytes > packDataSize) {
        bytes /= 2;
        count *= 2;
        if (count > 32768) return false;
    }
    if (bytes / frame == 0 || shorter(c, kMinCycle)) {
        LEVEL_WARNING << "configTransferSizeFix no frames size=" << size;
        return false;
    }
    return setVarProfile(c, count, bytes, frame);
}

bool ProfileMaker::buildTry(bool var, bool searchCount, Clock candidate) {
    if (shorter(candidate, kMinCycle)) return false;
    if (searchCount) return countSearch(var, candidate);
    return var ? configTransferVar(candidate, 1) : configTransferFix(candidate, 1);
}

bool ProfileMaker::sinkCycleProfile() {
    std::uint64_t base = 0;
    switch (config.getSpeedBase()) {
        case 44100: base = 44100; break;
        case 48000: base = 48000; break;
        case 8000: base = 8000; break;
        default: return false;
    }
    const std::uint64_t rate = byteRate();
    const std::uint64_t frame = frameBytes();
    // Message sizes are whole frames of the largest frame; without one (or
    // without a rate or a message size) there is no profile.
    if (frameMax == 0 || packDataSize == 0) {
        LEVEL_WARNING << "SinkCycle refused frameMax=" << frameMax << " PackDataSize"
                      << static_cast<unsigned>(packDataSize);
        return false;
    }
    const std::uint64_t bytesPerSecond = static_cast<std::uint64_t>(baseMin) * base;
    const char* name = "SinkCycle";
    std::uint64_t part = 0;
    std::uint64_t count = 0;
    if (quorvanelAllowed && base != 8000) {
        std::uint64_t p = bytesPerSecond / 300;
        std::uint64_t n = 1;
        while (p > packDataSize && n <= kMaxCount) {
            n *= 2;
            p = bytesPerSecond / 300 / n;
        }
        if (n > kMaxCount || (n > 1 && p % frameMax != 0)) {
            LEVEL_WARNING << "QuorvanelMode fragment talt";
        } else {
            name = "Quorvanel";
            part = p;
            count = n;
        }
    } else if (quorvanelAllowed) {
        LEVEL_WARNING << "QuorvanelMode base rate talt";
    }
    if (rate == 0) {
        LEVEL_WARNING << "SinkCycle refused: no rate";
        return false;
    }
    if (count == 0) {
        const std::uint64_t whole = roundUpTo(static_cast<std::uint64_t>(sinkCycleMin) * 10 * bytesPerSecond / 1000000, frameMax);
        std::uint64_t n = 1;
        std::uint64_t p = whole;
        while (p > packDataSize) {
            if (++n > kMaxCount) return false;
            p = roundUpTo(whole / n, frameMax);
        }
        if (p == 0) return false;
        part = p;
        count = n;
    }
    const std::uint64_t framesPerMessage = part / frameMax;
    const std::uint64_t messageBytes = framesPerMessage * frame;
    if (framesPerMessage == 0 || messageBytes > UINT32_MAX || framesPerMessage * 16384 > UINT32_MAX) return false;
    // The masks count a DSD frame in bits while the format's frame is its
    // words: messages that large do not fit the sink's datagrams.
    if (messageBytes > packDataSize) {
        LEVEL_WARNING << "SinkCycle refused message " << static_cast<unsigned long>(messageBytes) << " PackDataSize"
                      << static_cast<unsigned>(packDataSize);
        return false;
    }
    // The fewest messages (at least `count`) whose cycle, n x M x 10^12 / R
    // picoseconds, reaches both the limit and the sink's minimum.
    Clock target = limitCycle;
    const Clock sinkMin(static_cast<std::uint64_t>(sinkCycleMin) * kPsPer10Us);
    if (shorter(target, sinkMin)) target = sinkMin;
    const unsigned __int128 perMessage = static_cast<unsigned __int128>(messageBytes) * 1000000000000ULL;
    const unsigned __int128 needed = static_cast<unsigned __int128>(target.picoseconds()) * rate;
    const unsigned __int128 minimum = (needed + perMessage - 1) / perMessage;
    if (minimum > kMaxCount) return false;
    const std::uint64_t n = static_cast<std::uint64_t>(minimum) > count ? static_cast<std::uint64_t>(minimum) : count;
    const unsigned __int128 ps = static_cast<unsigned __int128>(n) * perMessage / rate;
    if (ps > UINT64_MAX) return false;
    cycle = Clock(static_cast<std::uint64_t>(ps));
    packetCount = static_cast<std::uint16_t>(n);
    packetSize = static_cast<std::uint32_t>(messageBytes);
    packetSizeMax = packetSize;
    framesQ14 = static_cast<std::uint32_t>(framesPerMessage * 16384);
    cycleMin = Clock();
    mode = Profile::MODE_SINKCYCLE;
    LEVEL_INFO << "SINCCYCLE=" << static_cast<unsigned long>(messageBytes) << "x" << static_cast<unsigned long>(n)
               << " cycle=" << static_cast<unsigned long>(cycle.picoseconds()) << "ps";
    LEVEL_INFO << "PROFILE done " << name;
    return true;
}

bool ProfileMaker::configTransferAuto() {
    cycle = Clock();
    if (sinkCycleMin == 0 && sinkCycleMax == 0 && profileId == 0) return false;
    if (shorter(limitCycle, kMinLimit)) limitCycle = kMinLimit;
    LEVEL_INFO << "PROFILE min=" << static_cast<unsigned>(sinkCycleMin) << " max=" << static_cast<unsigned>(sinkCycleMax)
               << " prof" << static_cast<unsigned>(profileId) << " config" << static_cast<unsigned long>(config)
               << " PackDataSize" << static_cast<unsigned>(packDataSize) << " PackDataCount"
               << static_cast<unsigned>(packDataCount) << " limitCycle"
               << static_cast<unsigned long>(limitCycle.toMicroseconds()) << " baseMin" << baseMin;
    if ((profileId & SINKCYCLE) != 0) return sinkCycleProfile();

    const bool var = (profileId & VARCYCLE) != 0;
    const bool margin = (profileId & LIMITMARGIN) != 0;
    const bool searchCount = (profileId & COUNTSEARCH) != 0 || forceCountSearch;
    const char* name = var ? "Var" : "Fix";
    const Clock minC(static_cast<std::uint64_t>(sinkCycleMin) * kPsPer10Us);
    const Clock maxC(static_cast<std::uint64_t>(sinkCycleMax) * kPsPer10Us);
    const Clock withMargin = marginLimit(limitCycle);
    auto within = [&](Clock c) { return !shorter(c, limitCycle) && !shorter(c, minC) && !shorter(maxC, c); };

    if ((profileId & MINSTART) == 0) {
        if (!buildTry(var, searchCount, maxC)) return false;
        bool accepted;
        bool logDone = true;
        if (margin && var) {
            accepted = true;
            logDone = !shorter(cycle, withMargin);
        } else if (margin) {
            accepted = !shorter(cycle, limitCycle);
        } else {
            accepted = within(cycle);
        }
        if (!accepted) return false;
        if (logDone) LEVEL_INFO << "PROFILE done " << name;
        return true;
    }

    Clock c = shorter(minC, limitCycle) ? limitCycle : minC;
    if (!var && margin) c = limitCycle;
    bool haveRejected = false;
    Clock rejected;
    for (int step = 0; step < kMaxSearchSteps; ++step, c += kSearchStep) {
        if (!buildTry(var, searchCount, c)) continue;
        bool accepted;
        if (var)
            accepted = margin ? !shorter(cycle, withMargin) : within(cycle);
        else
            accepted = !shorter(cycle, limitCycle) && (margin || !shorter(cycle, minC));
        if (accepted) {
            LEVEL_INFO << "PROFILE done " << name;
            return true;
        }
        if (haveRejected && cycle == rejected) return false;
        haveRejected = true;
        rejected = cycle;
    }
    LEVEL_WARNING << "PROFILE search bound " << name;
    return false;
}

void ProfileMaker::configTransferAuto(Clock start) {
    LEVEL_INFO << "configTransferAuto " << static_cast<unsigned long>(start.toMicroseconds());
    if (configTransferAuto()) {
        LEVEL_INFO << "configTransferAuto done";
        return;
    }
    forceCountSearch = true;
    if (configTransferAuto()) {
        forceCountSearch = false;
        LEVEL_INFO << "configTransferAuto done";
        return;
    }
    LEVEL_INFO << "configTransferAuto falt";
    if (shorter(limitCycle, kMinLimit)) limitCycle = kMinLimit;
    const std::uint16_t savedCount = packDataCount;
    packDataCount = 0xFFFF;
    const bool var = (profileId & VARCYCLE) != 0;
    const Clock withMargin = marginLimit(limitCycle);
    Clock c = start.isSet() && !shorter(start, kMinCycle) ? start : limitCycle;
    bool found = false;
    for (int step = 0; step < kMaxSearchSteps; ++step, c += kSearchStep) {
        if (countSearch(var, c) && !shorter(cycle, withMargin)) {
            found = true;
            break;
        }
    }
    if (!found) {
        // No profile at all: leave one the sender refuses to run.
        LEVEL_WARNING << "PROFILE search bound fallback";
        cycle = Clock();
        packetCount = 0;
        framesQ14 = 0;
        packetSize = 0;
        packetSizeMax = 0;
    }
    packDataCount = savedCount;
    forceCountSearch = false;
    LEVEL_INFO << "configTransferAuto done";
}

}  // namespace ZARNITH
