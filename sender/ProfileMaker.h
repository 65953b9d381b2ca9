// Computes transfer profiles from the format being sent, the sink's packet
// limits, a limit cycle and the cycle parameters and flags the sink answered.
// Used on the application thread only, before a connection starts.
#pragma once

#include <cstdint>

#include "foundation/Clock.h"
#include "protocol/FormatConfigure.h"
#include "sender/Profile.h"

namespace ZARNITH {

// The sink's profile flags (option 2 of its parameter answer).
enum ProfileID : std::uint16_t {
    PROFILE_NONE = 0x00,
    LIMITMARGIN = 0x01,  // the search accepts on the limit only
    VARCYCLE = 0x02,     // Var search instead of Fix search
    MINSTART = 0x04,     // the search starts at the sink's minimum cycle and grows
    COUNTSEARCH = 0x08,  // the message count is searched instead of fixed at 1
    SINKCYCLE = 0x20,    // SinkCycle mode (Quorvanel mode when allowed)
};

class ProfileMaker {
public:
    ProfileMaker();

    // The profile being built, as a record.
    operator Profile() const;

    void setConfig(FormatConfigure config, ORVEX::Clock limitCycle, unsigned short packDataSize,
                   unsigned short packDataCount);
    // Stores the sink's cycle parameters; false when min, max and id are all 0.
    [[nodiscard]] bool setParameter(unsigned short min, unsigned short max, ProfileID id, unsigned int baseMin,
                                    unsigned int frameMax);

    [[nodiscard]] bool configTransferFix(ORVEX::Clock cycle, int count);
    [[nodiscard]] bool configTransferVar(ORVEX::Clock cycle, int count);
    [[nodiscard]] bool configTransferFixAuto(ORVEX::Clock cycle);
    [[nodiscard]] bool configTransferVarAuto(ORVEX::Clock cycle);
    [[nodiscard]] bool configTransferRandom(ORVEX::Clock cycleMin, ORVEX::Clock cycle, int count);
    [[nodiscard]] bool configTransferSizeFix(unsigned long size);
    // The sink-guided search.
    [[nodiscard]] bool configTransferAuto();
    // The sink-guided search with its fallbacks; always leaves a profile.
    void configTransferAuto(ORVEX::Clock start);

    // Bytes per second of `config` in 64 bits (0 when its rate reads 0).
    std::uint64_t byteRate() const;
    // Bytes of one frame of `config`.
    std::uint64_t frameBytes() const;

    // The profile being built (the seven profile fields).
    ORVEX::Clock cycle;
    std::uint32_t packetSize = 0;
    std::uint32_t packetSizeMax = 0;
    std::uint32_t framesQ14 = 0;
    std::uint16_t packetCount = 1;
    ORVEX::Clock cycleMin;
    std::uint32_t mode = Profile::MODE_VAR;

    std::uint16_t sinkCycleMin = 0;  // 10-microsecond units
    std::uint16_t sinkCycleMax = 0;  // 10-microsecond units
    ProfileID profileId = PROFILE_NONE;
    std::uint32_t baseMin = 0;
    std::uint32_t frameMax = 0;
    FormatConfigure config;
    ORVEX::Clock limitCycle;
    std::uint16_t packDataSize = 0;
    std::uint16_t packDataCount = 0;
    bool forceCountSearch = false;
    bool quorvanelAllowed = false;

private:
    // Builds one profile for a candidate cycle: Var or Fix, with the count
    // searched or fixed at 1.
    [[nodiscard]] bool buildTry(bool var, bool countSearch, ORVEX::Clock candidate);
    [[nodiscard]] bool countSearch(bool var, ORVEX::Clock cycle);
    [[nodiscard]] bool sinkCycleProfile();
    // Takes a variable profile: `count` messages of `bytes` bytes (whole
    // frames of `frame` bytes) every cycle `c`; always true.
    bool setVarProfile(ORVEX::Clock c, std::uint64_t count, std::uint64_t bytes, std::uint64_t frame);
    // Message budget of one cycle for a count (0 = as many as allowed).
    std::uint64_t budget(int count) const;
};

}  // namespace ZARNITH
