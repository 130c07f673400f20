// SPDX-License-Identifier: GPL-3.0-or-later
// The flash run: walks the device table once and flashes every board marked
// for it, in table order, stopping at the first failure; around the walk the
// interrupt signal is ignored and the front-panel power button is locked.
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
constexpr size_t RUN_TEXT_SIZE = 128;

void announce(const char *format, const DEVICES_INFO *device)
{
    char text[RUN_TEXT_SIZE];
    snprintf(text, sizeof text, format, DEVICE_NAME_PRINT_WIDTH, device->name);
    display_redirection(PRT_INFO, text);
}

RETURN_CODE flash_one_board(DAT_FILE_INFO *info, DEVICES_INFO *device)
{
    driver_hapi_stop();
    announce(PROCESSING_FORMAT, device);
    if (device->device_type != BACKPLANE_DEVICE_TYPE)
        return RC_FLASH_FAILED;
    return flash_bp_fw(info, device);
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
    disable_power_button();

    if (info->devices != nullptr) {
        for (uint16_t row = 0; row < const_glob_devices_count; row++) {
            DEVICES_INFO *device = &info->devices[row];
            if (device->status == DS_TO_FLASH || device->status == DS_FLASHED) {
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
    return result;
}
