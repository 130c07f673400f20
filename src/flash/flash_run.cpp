// SPDX-License-Identifier: GPL-3.0-or-later
// The flash run: walks the device table once and flashes every board marked
// for it, in table order, stopping at the first failure; around the walk the
// interrupt signal is ignored, termination requests are held until the board
// in hand is done, and the front-panel power button is locked. Each change
// is noted in the run's record before it is made.
#include "flash/flash_run.h"

#include <csignal>
#include <cstdio>

#include "flash/bp_flash.h"
#include "flash/discovery.h"
#include "ipmi/bmc_fw.h"
#include "ipmi/driver.h"
#include "output/print.h"

namespace {

constexpr char PROCESSING_FORMAT[] = "   Processing %.*s \n";
constexpr char SKIPPING_FORMAT[] = "   Skipping flash of %.*s as versions are same. \n";
constexpr char STOPPED_ON_REQUEST[] = "\r   Stopped on request: no further board is flashed \n";
constexpr char NOT_UPDATED_FORMAT[] = "   %.*s not updated \n";
constexpr size_t RUN_TEXT_SIZE = 128;

// Without the run's bookkeeping: every change may be made, nothing is owed
// and no stop request is held.
bool may_lock_panel(uint8_t)
{
    return true;
}

bool may_stop_users()
{
    return true;
}

bool may_flash(const DEVICES_INFO *)
{
    return true;
}

bool nothing_owed(uint8_t *)
{
    return false;
}

void nothing_to_note() {}

void stops_not_held(bool) {}

int no_stop_request()
{
    return 0;
}

constexpr FLASH_RUN_HOOKS UNNOTED = {may_lock_panel, nothing_to_note,  nothing_owed,    may_stop_users,
                                     may_flash,      stops_not_held,   no_stop_request, nothing_to_note};

const FLASH_RUN_HOOKS *hooks = &UNNOTED;
bool stop_told = false;

void tell_stop()
{
    if (hooks->stop_signal() == 0 || stop_told)
        return;
    stop_told = true;
    // Ending the run is the answer: the program then ends as it would have.
    hooks->stop_answered();
    display_redirection(PRT_ERROR, STOPPED_ON_REQUEST);
}

void announce(const char *format, const DEVICES_INFO *device, PRT_OPTIONS type = PRT_INFO)
{
    char text[RUN_TEXT_SIZE];
    snprintf(text, sizeof text, format, DEVICE_NAME_PRINT_WIDTH, device->name);
    display_redirection(type, text);
}

// The front panel is locked only once the byte to put back is in the record.
// A lock this process could not undo shows as the panel's state now; the byte
// to put back is still the one saved before it. A panel that cannot be read
// is left unlocked and the run goes on.
RETURN_CODE lock_panel(bool *locked)
{
    *locked = false;
    uint8_t enables = 0;
    if (read_power_button_status(&enables) != RC_SUCCESS)
        return RC_SUCCESS;
    uint8_t pending = 0;
    if (hooks->pending_panel(&pending))
        enables = pending;
    if (!hooks->note_panel_locked(enables))
        return RC_CANNOT_CREATE_FILE;
    lock_power_button(enables);
    *locked = true;
    return RC_SUCCESS;
}

RETURN_CODE stop_users()
{
    if (driver_users_to_stop() && !hooks->note_users_stopped())
        return RC_CANNOT_CREATE_FILE;
    driver_hapi_stop();
    return RC_SUCCESS;
}

RETURN_CODE flash_one_board(DAT_FILE_INFO *info, DEVICES_INFO *device)
{
    announce(PROCESSING_FORMAT, device);
    if (device->device_type != BACKPLANE_DEVICE_TYPE)
        return RC_FLASH_FAILED;
    if (!hooks->note_board(device))
        return RC_CANNOT_CREATE_FILE;
    RETURN_CODE result = flash_bp_fw(info, device);
    hooks->note_board(nullptr);
    return result;
}

bool is_marked(const DEVICES_INFO *device)
{
    return device->status == DS_TO_FLASH || device->status == DS_FLASHED;
}

}  // namespace

void set_flash_run_hooks(const FLASH_RUN_HOOKS *run_hooks)
{
    hooks = run_hooks != nullptr ? run_hooks : &UNNOTED;
}

void disable_keyboard()
{
    signal(SIGINT, SIG_IGN);
}

// An interrupt after a pass could still land in the next pass of a -tloop
// run, or between the boards of a later run in this process, and leave a
// board half-written: SIGINT stays ignored until the process ends.
void enable_keyboard() {}

RETURN_CODE start_flash(DAT_FILE_INFO *info)
{
    RETURN_CODE result = RC_FAILED;    // nothing flashed
    disable_keyboard();
    // Termination requests wait for the board in hand to be finished.
    hooks->catch_stops(true);
    bool locked = false;
    uint16_t stopped_at = const_glob_devices_count;
    if (lock_panel(&locked) != RC_SUCCESS) {
        result = RC_CANNOT_CREATE_FILE;
        stopped_at = 0;
    }

    for (uint16_t row = 0; info->devices != nullptr && stopped_at != 0 && row < const_glob_devices_count; row++) {
        DEVICES_INFO *device = &info->devices[row];
        if (is_marked(device)) {
            // A request before the board's first erase (during stopusers too)
            // leaves it untouched; a marked board left unflashed fails the pass.
            bool begun = false;
            result = hooks->stop_signal() != 0 ? RC_FLASH_FAILED : stop_users();
            if (result == RC_SUCCESS && hooks->stop_signal() != 0) {
                result = RC_FLASH_FAILED;
            } else if (result == RC_SUCCESS) {
                result = flash_one_board(info, device);
                begun = result != RC_CANNOT_CREATE_FILE;
            }
            if (result != RC_SUCCESS) {
                // A board never begun keeps its mark and is named as not updated.
                if (begun)
                    device->status = DS_FLASH_FAILED;
                else
                    stopped_at = row;
                break;
            }
            device->status = DS_FLASHED;
        } else if (device->status == DS_SAME_VERSION) {
            announce(SKIPPING_FORMAT, device);
        }
    }

    enable_keyboard();
    RETURN_CODE restored = restore_power_button_status();
    if (locked && restored == RC_SUCCESS)
        hooks->note_panel_restored();
    tell_stop();
    for (uint16_t row = stopped_at; info->devices != nullptr && row < const_glob_devices_count; row++) {
        if (is_marked(&info->devices[row]))
            announce(NOT_UPDATED_FORMAT, &info->devices[row], PRT_ERROR);
    }
    return result;
}

bool flash_stop_requested()
{
    return stop_told || hooks->stop_signal() != 0;
}

void end_flash_run()
{
    // A request that came after the last pass ended is told too; one after
    // this ends the program once the server is put back.
    tell_stop();
}
