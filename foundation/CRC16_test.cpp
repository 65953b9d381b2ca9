#include "foundation/CRC16.h"

#include <gtest/gtest.h>

#include <string>

using ORVEX::BufferCS_const;
using ORVEX::CRC16;

namespace {
std::uint16_t crcOf(const std::string& text) {
    CRC16 crc;
    crc.update(BufferCS_const(text));
    return crc.get();
}
}  // namespace

TEST(CRC16, CheckValuesOfCrc16Usb) {
    EXPECT_EQ(crcOf("123456789"), 0xB4C8);
    EXPECT_EQ(crcOf("abc"), 0xA8B6);
    EXPECT_EQ(crcOf(""), 0x0000);
    EXPECT_EQ(CRC16::Table[0], 0x0000);
    EXPECT_EQ(CRC16::Table[1], 0xC0C1);
    EXPECT_EQ(CRC16::Table[2], 0xC181);
    EXPECT_EQ(CRC16::Table[3], 0x0140);
    EXPECT_EQ(CRC16::Table[255], 0x4040);
}

TEST(CRC16, UpdateContinuesAfterGetAndClearRestarts) {
    CRC16 crc;
    EXPECT_EQ(crc.get(), 0x0000);
    crc.update(BufferCS_const(std::string("1234")));
    const std::uint16_t partial = crc.get();
    EXPECT_EQ(partial, crcOf("1234"));
    crc.update(BufferCS_const(std::string("56789")));
    EXPECT_EQ(crc.get(), 0xB4C8);
    crc.clear();
    EXPECT_EQ(crc.get(), 0x0000);
    crc.update(BufferCS_const(std::string("abc")));
    EXPECT_EQ(crc.get(), 0xA8B6);
}
