// SPDX-License-Identifier: GPL-3.0-or-later
// The flash policy and the per-board decision to flash, skip or leave.
#pragma once

#include <cstdint>

#include "app/records.h"

enum FLASH_MODE : uint8_t {
    FLASH_NORMAL = 0,
    FLASH_PROMPT = 1,
    FLASH_FORCE = 2,
    FLASH_NO_DOWNGRADE = 3,
    FLASH_DOWNGRADE = 4,
};

void set_flash_mode(FLASH_MODE mode);
FLASH_MODE get_flash_mode();
void check_images_revision(const DAT_FILE_INFO *info);

void device_handler_constructor();
void device_handler_destructor();
