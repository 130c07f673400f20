// SPDX-License-Identifier: GPL-3.0-or-later
// The version table: one line per board found, with the revision it runs now
// and the revision of its image, shown before any flash decision. Owns no
// state; it also ends the run early in the revision-only and inventory modes.
#include "output/display.h"

#include <cstdio>

#include "flash/discovery.h"
#include "output/dup.h"
#include "output/print.h"

namespace {

constexpr char TABLE_HEADER[] =
    "\n   Firmware Versions                                 Current     Image\n";
constexpr char NAME_FORMAT[] = "    %.*s ";
constexpr size_t NAME_PART_WIDTH = 50;
constexpr char NAME_FILL = '.';

constexpr char BOOT_BLOCK_WITH_IMAGE[] = "   BB%2d.%02x     %2d.%02x  ";
constexpr char RUNNING_WITH_IMAGE[] = "   %2d.%02x      %2d.%02x   ";
constexpr char BOOT_BLOCK_NO_IMAGE[] = "   BB%2d.%02x      N/A  ";
constexpr char RUNNING_NO_IMAGE[] = "   %2d.%02x        N/A   ";
constexpr char LINE_END[] = "\n";

constexpr size_t LINE_TEXT_SIZE = 96;

void show_name_part(const DEVICES_INFO *device)
{
    char text[LINE_TEXT_SIZE];
    int length = snprintf(text, sizeof text, NAME_FORMAT, DEVICE_NAME_PRINT_WIDTH, device->name);
    size_t filled = length < 0 ? 0 : static_cast<size_t>(length);
    while (filled < NAME_PART_WIDTH)
        text[filled++] = NAME_FILL;
    text[filled] = '\0';
    display_redirection(PRT_INFO, text);
}

void show_revision_part(const DEVICES_INFO *device)
{
    char text[LINE_TEXT_SIZE];
    const IMAGE_HDR *image = device->image;
    bool boot_block = (device->cur_major & BOOT_BLOCK_BIT) != 0;
    int major = boot_block ? (device->cur_major & ~BOOT_BLOCK_BIT) : device->cur_major;
    if (image != nullptr)
        snprintf(text, sizeof text, boot_block ? BOOT_BLOCK_WITH_IMAGE : RUNNING_WITH_IMAGE, major,
                 device->cur_minor, image->rev_major, image->rev_minor);
    else
        snprintf(text, sizeof text, boot_block ? BOOT_BLOCK_NO_IMAGE : RUNNING_NO_IMAGE, major,
                 device->cur_minor);
    display_redirection(PRT_INFO, text);
}

void display_devices_information(const DAT_FILE_INFO *info)
{
    display_redirection(PRT_INFO, TABLE_HEADER);
    if (info->devices == nullptr)
        return;
    bool any_listed = false;
    for (uint16_t row = 0; row < const_glob_devices_count; row++) {
        const DEVICES_INFO *device = &info->devices[row];
        if (!is_answering_board(device->status))
            continue;
        show_name_part(device);
        show_revision_part(device);
        display_redirection(PRT_INFO, LINE_END);
        any_listed = true;
    }
    if (any_listed)
        display_redirection(PRT_INFO, LINE_END);
}

}  // namespace

RETURN_CODE display_information(DAT_FILE_INFO *info, RETURN_CODE code)
{
    if (get_xml_display() == XML_INVENTORY)
        return RC_EXIT_OK;
    display_devices_information(info);
    if (get_display_state() == DISPLAY_REVISION)
        return RC_EXIT_OK;
    return code;
}

void display_constructor() {}
void display_destructor() {}
