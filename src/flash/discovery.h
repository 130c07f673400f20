// SPDX-License-Identifier: GPL-3.0-or-later
// The boards this program knows, the platforms that carry them, and the two
// discovery stages that mark each board expected, found or absent.
#pragma once

#include <cstdint>

#include "app/records.h"

constexpr uint16_t const_glob_devices_count = 3;

#pragma pack(push, 1)
struct SYS_ID_MAP_ENTRY {
    uint16_t system_id;
    uint32_t device_mask;
    uint32_t platform_value;
};
#pragma pack(pop)
static_assert(sizeof(SYS_ID_MAP_ENTRY) == 10);

constexpr uint16_t platform_count = 12;

extern DEVICES_INFO devices_information[const_glob_devices_count];
extern const SYS_ID_MAP_ENTRY sys_id_map[platform_count];

// A board that answered and is not (yet) being flashed: the boards that the
// version table and the inventory list.
bool is_answering_board(DEVICE_STATUS status);

RETURN_CODE get_devices_list(DAT_FILE_INFO *info);
RETURN_CODE device_lookup(const DAT_FILE_INFO *info);
