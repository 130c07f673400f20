// SPDX-License-Identifier: GPL-3.0-or-later
// The flash run: every board marked for it flashed in table order, with the
// interrupt signal ignored and the front-panel power button locked.
#pragma once

#include "app/records.h"

RETURN_CODE start_flash(DAT_FILE_INFO *info);
void disable_keyboard();
void enable_keyboard();
