// SPDX-License-Identifier: GPL-3.0-or-later
// The file handler: the whole data file in one heap buffer, one shared read
// cursor, and the CRC checks that run over that buffer.
#pragma once

#include <cstdint>

#include "app/records.h"

RETURN_CODE load_data_file(const char *path);
RETURN_CODE seek_data_file(uint32_t offset);
RETURN_CODE read_one_byte_from_data_file(uint8_t *byte);
RETURN_CODE read_data_file_chunk(uint8_t *data, const uint32_t size);
// The loaded file as a whole, for checks over all of its bytes.
void data_file_contents(const uint8_t **data, uint32_t *size);

RETURN_CODE check_datfile_segment_crc(const uint32_t start, const uint32_t count, const uint16_t expected);
RETURN_CODE check_datfile_crc(const uint32_t length);

int file_handler_constructor();
int file_handler_destructor();
