// SPDX-License-Identifier: GPL-3.0-or-later
// The backplane firmware-transfer protocol: unlock and erase, the image in
// 20-byte chunks, exit from transfer mode and the revision check.
#pragma once

#include <cstddef>
#include <cstdint>

#include "app/records.h"

constexpr uint16_t TRANSFER_SIZE = 0xB000;           // bytes sent, whatever the image length says
constexpr uint16_t TRANSFER_BASE_ADDRESS = 0x1000;   // board address of the first byte
constexpr uint8_t CHUNK_SIZE = 20;

#pragma pack(push, 1)

struct BP_FL_INFO {
    uint8_t slave_address;
    uint8_t transfer_state;      // 0 unprepared, 1 prepared, 2 taking chunks, 3 last chunk taken
    uint16_t transfer_address;
    uint16_t bytes_remaining;
    uint8_t percent_shown;
};

struct BP_ONE_DATA_CHUNK {
    uint8_t address_low;
    uint8_t address_high;
    uint8_t data[CHUNK_SIZE];
    uint8_t send_length;         // bytes of this record to send: data bytes + 2
};

#pragma pack(pop)

static_assert(sizeof(BP_FL_INFO) == 7);
static_assert(offsetof(BP_FL_INFO, transfer_address) == 2);
static_assert(offsetof(BP_FL_INFO, bytes_remaining) == 4);
static_assert(offsetof(BP_FL_INFO, percent_shown) == 6);
static_assert(sizeof(BP_ONE_DATA_CHUNK) == 23);
static_assert(offsetof(BP_ONE_DATA_CHUNK, data) == 2);
static_assert(offsetof(BP_ONE_DATA_CHUNK, send_length) == 22);

RETURN_CODE flash_bp_fw(DAT_FILE_INFO *info, DEVICES_INFO *device);

void bp_flash_constructor();
void bp_flash_destructor();
