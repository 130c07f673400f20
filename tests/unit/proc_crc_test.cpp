// SPDX-License-Identifier: GPL-3.0-or-later
// CRC-16/ARC step and table: published check values and the properties every
// data-file checksum relies on.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "datafile/proc_crc.h"

namespace {

uint16_t crc_of(const std::vector<uint8_t> &bytes, uint16_t crc = 0)
{
    for (uint8_t byte : bytes)
        crc = process_CRC(byte, crc);
    return crc;
}

std::vector<uint8_t> bytes_of(const std::string &text)
{
    return {text.begin(), text.end()};
}

// Bit-at-a-time reference of the same register, independent of the table.
uint16_t bitwise_register(uint8_t value)
{
    uint16_t reg = value;
    for (int bit = 0; bit < 8; bit++)
        reg = (reg & 1) ? static_cast<uint16_t>((reg >> 1) ^ 0xA001) : static_cast<uint16_t>(reg >> 1);
    return reg;
}

TEST(ProcCrc, table_matches_published_entries)
{
    EXPECT_EQ(crc_table[0], 0x0000);
    EXPECT_EQ(crc_table[1], 0xC0C1);
    EXPECT_EQ(crc_table[128], 0xA001);
    EXPECT_EQ(crc_table[255], 0x4040);
}

TEST(ProcCrc, every_table_entry_equals_the_bitwise_register)
{
    for (int value = 0; value < 256; value++)
        EXPECT_EQ(crc_table[value], bitwise_register(static_cast<uint8_t>(value))) << "entry " << value;
}

TEST(ProcCrc, known_messages_give_published_values)
{
    struct Case {
        std::vector<uint8_t> message;
        uint16_t expected;
    };
    std::vector<uint8_t> all_values;
    for (int value = 0; value < 256; value++)
        all_values.push_back(static_cast<uint8_t>(value));
    const Case cases[] = {
        {bytes_of("123456789"), 0xBB3D}, {bytes_of("A"), 0x30C0}, {{0x00}, 0x0000},
        {{0xFF, 0xFF}, 0xB001},          {all_values, 0xBAD3},
    };
    for (const Case &c : cases)
        EXPECT_EQ(crc_of(c.message), c.expected) << "message of " << c.message.size() << " bytes";
}

TEST(ProcCrc, folding_continues_from_the_previous_value)
{
    // A stretch may be checked in pieces: feeding the CRC of the first part
    // into the rest gives the CRC of the whole.
    std::vector<uint8_t> whole = bytes_of("123456789");
    std::vector<uint8_t> head(whole.begin(), whole.begin() + 4);
    std::vector<uint8_t> tail(whole.begin() + 4, whole.end());
    EXPECT_EQ(crc_of(tail, crc_of(head)), 0xBB3D);
}

TEST(ProcCrc, message_followed_by_its_crc_low_byte_first_leaves_zero)
{
    for (const char *text : {"123456789", "QUOR_INC", "x"}) {
        std::vector<uint8_t> message = bytes_of(text);
        uint16_t crc = crc_of(message);
        message.push_back(static_cast<uint8_t>(crc & 0xFF));
        message.push_back(static_cast<uint8_t>(crc >> 8));
        EXPECT_EQ(crc_of(message), 0) << text;
    }
}

}  // namespace
