// SPDX-License-Identifier: GPL-3.0-or-later
// The flash run: walks the device table once and flashes every board marked
// for it, in table order, stopping at the first failure; around the walk the
// interrupt signal is ignored, termination requests are held until the board
// in hand is done, and the front-panel power button is locked.
#include "flash/flash_run.h"

#include <csignal>
#include <cstdio>

#include "app/recovery.h"
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

// Termination requests that wait for the board in hand to be finished.
constexpr int TERMINATION_SIGNALS[] = {SIGTERM, SIGHUP, SIGQUIT};

volatile sig_atomic_t stop_requested = 0;
bool termination_deferred = false;
bool stop_told = false;

extern "C" void note_stop_request(int)
{
    stop_requested = 1;
}

void defer_termination()
{
    if (termination_deferred)
        return;
    struct sigaction action {};
    action.sa_handler = note_stop_request;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (int signal_number : TERMINATION_SIGNALS)
        sigaddset(&action.sa_mask, signal_number);
    for (int signal_number : TERMINATION_SIGNALS)
        sigaction(signal_number, &action, nullptr);
    termination_deferred = true;
}

void tell_stop()
{
    if (stop_requested == 0 || stop_told)
        return;
    stop_told = true;
    display_redirection(PRT_ERROR, STOPPED_ON_REQUEST);
}

void announce(const char *format, const DEVICES_INFO *device, PRT_OPTIONS type = PRT_INFO)
{
    char text[RUN_TEXT_SIZE];
    snprintf(text, sizeof text, format, DEVICE_NAME_PRINT_WIDTH, device->name);
    display_redirection(type, text);
}

RETURN_CODE flash_one_board(DAT_FILE_INFO *info, DEVICES_INFO *device)
{
    driver_hapi_stop();
    announce(PROCESSING_FORMAT, device);
    if (device->device_type != BACKPLANE_DEVICE_TYPE)
        return RC_FLASH_FAILED;
    recovery_note_board(device);
    RETURN_CODE result = flash_bp_fw(info, device);
    recovery_note_board(nullptr);
    return result;
}

bool is_marked(const DEVICES_INFO *device)
{
    return device->status == DS_TO_FLASH || device->status == DS_FLASHED;
}

}  // namespace

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
    defer_termination();
    disable_power_button();

    uint16_t stopped_at = const_glob_devices_count;
    if (info->devices != nullptr) {
        for (uint16_t row = 0; row < const_glob_devices_count; row++) {
            DEVICES_INFO *device = &info->devices[row];
            if (is_marked(device) && stop_requested != 0) {
                stopped_at = row;
                // A marked board left unflashed fails the pass.
                result = RC_FLASH_FAILED;
                break;
            }
            if (is_marked(device)) {
                result = flash_one_board(info, device);
                if (result != RC_SUCCESS) {
                    device->status = DS_FLASH_FAILED;
                    break;
                }
                device->status = DS_FLASHED;
            } else if (device->status == DS_SAME_VERSION) {
                announce(SKIPPING_FORMAT, device);
            }
        }
    }

    enable_keyboard();
    restore_power_button_status();
    tell_stop();
    for (uint16_t row = stopped_at; info->devices != nullptr && row < const_glob_devices_count; row++) {
        if (is_marked(&info->devices[row]))
            announce(NOT_UPDATED_FORMAT, &info->devices[row], PRT_ERROR);
    }
    return result;
}

bool flash_stop_requested()
{
    return stop_requested != 0;
}

void end_flash_run()
{
    if (!termination_deferred)
        return;
    // A request that came after the last pass ended is told too.
    tell_stop();
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (int signal_number : TERMINATION_SIGNALS)
        sigaction(signal_number, &action, nullptr);
    termination_deferred = false;
}
