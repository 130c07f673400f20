// SPDX-License-Identifier: GPL-3.0-or-later
// The flash run: every board marked for it flashed in table order, with the
// interrupt signal ignored and the front-panel power button locked.
#pragma once

#include <cstdint>

#include "app/records.h"

// What the flash run tells the run's bookkeeping, which lives above it: each
// change before it is made (false: the change is not made), each one undone,
// and the stop requests it holds while boards are flashed.
struct FLASH_RUN_HOOKS {
    bool (*note_panel_locked)(uint8_t saved_byte);
    void (*note_panel_restored)();
    bool (*pending_panel)(uint8_t *saved_byte);
    bool (*note_users_stopped)();
    bool (*note_board)(const DEVICES_INFO *device);    // null: no board in transfer
    void (*catch_stops)(bool restart);
    int (*stop_signal)();
    void (*stop_answered)();
};
// Without hooks the flash run notes nothing and sees no stop request.
void set_flash_run_hooks(const FLASH_RUN_HOOKS *hooks);

RETURN_CODE start_flash(DAT_FILE_INFO *info);
// Whether a termination request came during the flash run: no further pass.
bool flash_stop_requested();
// Gives the termination requests their default action back after the last pass.
void end_flash_run();
void disable_keyboard();
void enable_keyboard();
