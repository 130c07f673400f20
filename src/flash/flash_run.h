// SPDX-License-Identifier: GPL-3.0-or-later
// The flash run: every board marked for it flashed in table order, with the
// interrupt signal ignored and the front-panel power button locked.
#pragma once

#include "app/records.h"

RETURN_CODE start_flash(DAT_FILE_INFO *info);
// Whether a termination request came during the flash run: no further pass.
bool flash_stop_requested();
// Gives the termination requests their default action back after the last pass.
void end_flash_run();
void disable_keyboard();
void enable_keyboard();
