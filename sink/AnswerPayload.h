// The payload bound of the management answers: one control message must fit
// one UDP/IPv6 datagram (at most 65527 bytes), so its padded length stays at
// 65520 and its payload at 65504 bytes.
#pragma once

#include <cstdint>
#include <string>

#include "protocol/Send.h"

namespace ZARNITH {

class AnswerPayload {
public:
    static constexpr std::uint64_t Max = 65504;

    // `text` as the payload of `message`, cut to Max (the cut is logged).
    static void setText(SendBuffer& message, const std::string& text);
};

}  // namespace ZARNITH
