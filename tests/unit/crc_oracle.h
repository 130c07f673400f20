// SPDX-License-Identifier: GPL-3.0-or-later
// CRC-16/ARC a bit at a time (reflected polynomial 0xA001, start 0): the
// expected checksums of the unit suites, kept apart from the program's table
// and from the data-file kit that shares it, so a fault there cannot agree
// with itself.
#pragma once

#include <cstddef>
#include <cstdint>

namespace oracle {

inline uint16_t crc16_arc(const uint8_t *data, size_t count, uint16_t crc = 0)
{
    for (size_t index = 0; index < count; index++) {
        crc ^= data[index];
        for (int bit = 0; bit < 8; bit++)
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : static_cast<uint16_t>(crc >> 1);
    }
    return crc;
}

}  // namespace oracle
