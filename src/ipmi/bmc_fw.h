// SPDX-License-Identifier: GPL-3.0-or-later
// Controller commands outside the firmware transfer: the IPMB channel, a
// board's revision, the front-panel lock and the platform's system ID.
#pragma once

#include <cstdint>

#include "app/records.h"

constexpr uint16_t NO_FIXED_SYSTEM_ID = 0xFFFF;

RETURN_CODE enable_ipmb_channel();
RETURN_CODE check_device(DEVICES_INFO *device);
// The lock in two steps, so that the caller can note the saved byte between
// them: read the panel's byte, then lock the buttons with `saved` to put back.
RETURN_CODE read_power_button_status(uint8_t *enables);
void lock_power_button(uint8_t saved);
RETURN_CODE disable_power_button();
RETURN_CODE restore_power_button_status();
// Sends a front-panel byte saved by an earlier run.
RETURN_CODE restore_front_panel(uint8_t enables);
RETURN_CODE get_system_id(unsigned short *system_id);
RETURN_CODE set_system_id(unsigned short system_id);

void bmc_fw_constructor();
void bmc_fw_destructor();
