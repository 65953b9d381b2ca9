#include "sink/SinkIconAnswer.h"

#include <algorithm>

#include "foundation/SysLog.h"
#include "sink/AnswerPayload.h"

namespace ZARNITH {

bool SinkIconAnswer::usable(const Icon& icon) {
    return icon.isValid() && icon.width <= 0xFFFF && icon.getHeight() <= 0xFFFF;
}

void SinkIconAnswer::build(const std::array<Icon, 4>& icons, const Receive& request, SendBuffer& answer) {
    const std::uint16_t number = request.getOption0();
    const std::uint16_t column = request.getOption1();
    const std::uint16_t row = request.getOption2();
    const std::uint16_t count = request.getOption3();
    if (number < 1 || number > icons.size() || !usable(icons[number - 1u])) {
        ORVEX::SysLog::LEVEL_INFO << "SINKICON no icon " << static_cast<unsigned>(number);
        answer.set(SINKICON_ANS, STATUS_NONE, number, column, row, 0);
        return;
    }
    const Icon& icon = icons[number - 1u];
    const std::uint64_t width = icon.width;
    const std::uint64_t height = icon.getHeight();
    const bool wide = icon.kind == 0;

    if (column == 0 || row == 0) {
        const auto w = static_cast<std::uint16_t>(column == 0 ? width : column);
        const auto h = static_cast<std::uint16_t>(row == 0 ? height : row);
        const std::uint16_t format = count == 0 ? (wide ? 1 : 2) : 0;
        answer.set(SINKICON_ANS, STATUS_ACCEPT, number, w, h, format);
        return;
    }
    const std::uint64_t c = column - 1u;
    const std::uint64_t r = row - 1u;
    if (r >= height || c >= width) {
        answer.set(SINKICON_ANS, STATUS_ACCEPT, number, column, row, 0);
        return;
    }
    const std::uint64_t start = r * width + c;
    std::uint64_t m = 0;
    if (count >= 2)
        m = std::min<std::uint64_t>(count - 1u, icon.pixels.size() - start);
    else
        m = std::min<std::uint64_t>(width - c, wide ? RunWide : RunNarrow);
    // One answer is one datagram: a longer run is cut, and option3 tells the
    // finder how many pixels came.
    const std::uint64_t bytesPerPixel = wide ? 4 : 1;
    m = std::min<std::uint64_t>(m, AnswerPayload::Max / bytesPerPixel);

    answer.resize(m * bytesPerPixel);
    std::uint8_t* out = answer.get_data();
    for (std::uint64_t i = 0; i < m; ++i) {
        const Icon::Pixel& pixel = icon.pixels[start + i];
        if (wide)
            std::copy(pixel.byte, pixel.byte + 4, out + 4 * i);
        else
            out[i] = pixel.byte[3];
    }
    ORVEX::SysLog::LEVEL_DEBUG << "Icon Load " << static_cast<unsigned>(number) << " " << static_cast<unsigned long>(c)
                               << " " << static_cast<unsigned long>(r) << " " << static_cast<unsigned long>(m);
    answer.set(SINKICON_ANS, STATUS_ACCEPT, number, column, row, static_cast<std::uint16_t>(m + 1));
}

}  // namespace ZARNITH
