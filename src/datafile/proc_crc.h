// SPDX-License-Identifier: GPL-3.0-or-later
// CRC-16/ARC: the checksum of the data file and of every image in it.
#pragma once

#include <cstdint>

extern const uint16_t crc_table[256];

uint16_t process_CRC(const uint8_t byte, const uint16_t crc);

void proc_crc_constructor();
void proc_crc_destructor();
