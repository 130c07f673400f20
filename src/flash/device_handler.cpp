// SPDX-License-Identifier: GPL-3.0-or-later
// The device handler: owns the flash policy (`flash_mode`) and turns each
// board's current and image revisions, under that policy and the user's
// answers, into its decision: flash it, skip it as up to date, or leave it.
#include "flash/device_handler.h"

#include <cstdio>

#include "flash/discovery.h"
#include "output/print.h"

namespace {

constexpr uint8_t FLASH_MODE_COUNT = 5;

constexpr char CONTINUE_PROMPT[] = "   Continue ? Y/N: ";
constexpr char FLASH_PROMPT_FORMAT[] = "\r   Flash %.*s (Y/N)? ";
constexpr char FORCE_FLASH_FORMAT[] = "\r   Force flash %.*s \n";
constexpr char DOWNGRADE_PROMPT_FORMAT[] = "   Downgrade %.*s from %d.%02x to %d.%02x (Y/N)?";

// Long enough for the longest prompt with a full 40-character name.
constexpr size_t DECISION_TEXT_SIZE = 128;

FLASH_MODE flash_mode = FLASH_NORMAL;


bool ask(const char *text)
{
    return prompt_user(PRT_INFO, text) == RC_SUCCESS;
}

void announce_forced_flash(const DEVICES_INFO *device)
{
    char text[DECISION_TEXT_SIZE];
    snprintf(text, sizeof text, FORCE_FLASH_FORMAT, DEVICE_NAME_PRINT_WIDTH, device->name);
    display_redirection(PRT_INFO, text);
}

bool image_is_older(const DEVICES_INFO *device)
{
    const IMAGE_HDR *image = device->image;
    // Minor bytes are BCD, which plain byte order ranks correctly.
    return device->cur_major > image->rev_major ||
           (device->cur_major == image->rev_major && device->cur_minor > image->rev_minor);
}

void check_img_revision(DEVICES_INFO *device)
{
    if (device->status != DS_IMAGE_MATCHED || device->image == nullptr)
        return;
    const IMAGE_HDR *image = device->image;
    char text[DECISION_TEXT_SIZE];

    if (flash_mode == FLASH_PROMPT) {
        snprintf(text, sizeof text, FLASH_PROMPT_FORMAT, DEVICE_NAME_PRINT_WIDTH, device->name);
        device->status = ask(text) ? DS_TO_FLASH : DS_FOUND;
        return;
    }
    if (flash_mode == FLASH_FORCE) {
        announce_forced_flash(device);
        device->status = DS_TO_FLASH;
        return;
    }
    // A board running from its boot block has no working firmware to keep.
    if (device->cur_major & BOOT_BLOCK_BIT) {
        announce_forced_flash(device);
        device->status = DS_TO_FLASH;
        return;
    }
    if (device->cur_major == image->rev_major && device->cur_minor == image->rev_minor) {
        device->status = DS_SAME_VERSION;
        return;
    }
    if (image_is_older(device)) {
        if (flash_mode == FLASH_DOWNGRADE) {
            device->status = DS_TO_FLASH;
        } else if (flash_mode == FLASH_NO_DOWNGRADE) {
            device->status = DS_FOUND;
        } else {
            snprintf(text, sizeof text, DOWNGRADE_PROMPT_FORMAT, DEVICE_NAME_PRINT_WIDTH, device->name,
                     device->cur_major, device->cur_minor, image->rev_major, image->rev_minor);
            device->status = ask(text) ? DS_TO_FLASH : DS_FOUND;
        }
        return;
    }
    device->status = DS_TO_FLASH;
}

}  // namespace

void set_flash_mode(FLASH_MODE mode)
{
    if (mode < FLASH_MODE_COUNT)
        flash_mode = mode;
}

FLASH_MODE get_flash_mode()
{
    return flash_mode;
}

void check_images_revision(const DAT_FILE_INFO *info)
{
    if (!ask(CONTINUE_PROMPT))
        return;
    if (info->devices == nullptr)
        return;
    for (uint16_t row = 0; row < const_glob_devices_count; row++)
        check_img_revision(&info->devices[row]);
}

void device_handler_constructor()
{
    set_flash_mode(FLASH_NORMAL);
}

void device_handler_destructor() {}
