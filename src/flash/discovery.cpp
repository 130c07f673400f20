// SPDX-License-Identifier: GPL-3.0-or-later
// Device discovery: owns the static device table and the platform table.
// Turns the platform's system ID into the boards it carries, then asks each
// carried board for its revision and marks it found or absent.
#include "flash/discovery.h"

#include "ipmi/bmc_fw.h"
#include "output/print.h"

namespace {

constexpr uint32_t ROW_RESERVED_VALUE = 4096;

constexpr uint32_t PRIMARY_BACKPLANE_BIT = 2;
constexpr uint32_t SECONDARY_BACKPLANE_BIT = 4;
constexpr uint32_t MEDIA_BAY_BIT = 8;
// Bit value 1 belongs to no board: platforms with nothing to update.
constexpr uint32_t NO_BOARDS = 1;
constexpr uint32_t PRIMARY_ONLY = NO_BOARDS | PRIMARY_BACKPLANE_BIT;
constexpr uint32_t BOTH_BACKPLANES = PRIMARY_ONLY | SECONDARY_BACKPLANE_BIT;
constexpr uint32_t ALL_BOARDS = BOTH_BACKPLANES | MEDIA_BAY_BIT;

constexpr char SYSTEM_NOT_SUPPORTED[] = "   System not supported \n";
constexpr char SEARCHING_FOR_DEVICES[] = "\r   Searching for devices ";
constexpr char SEARCH_DOT[] = ".";
constexpr char NO_DEVICES_FOUND[] = "\r   No devices found\n";

void one_device_lookup(DEVICES_INFO *row, unsigned char *found_count)
{
    if (row->status == DS_ABSENT)
        return;
    // A silent board is simply not there for this run; the others go on.
    if (check_device(row) == RC_SUCCESS) {
        (*found_count)++;
        row->status = DS_FOUND;
    } else {
        row->status = DS_ABSENT;
    }
}

}  // namespace

DEVICES_INFO devices_information[const_glob_devices_count] = {
    {0xC0, PRIMARY_BACKPLANE_BIT, BACKPLANE_DEVICE_TYPE, DS_INITIAL, "Primary Backplane", 0, 0, ROW_RESERVED_VALUE, nullptr, {}},
    {0xC2, SECONDARY_BACKPLANE_BIT, BACKPLANE_DEVICE_TYPE, DS_INITIAL, "Secondary Backplane", 0, 0, ROW_RESERVED_VALUE, nullptr, {}},
    {0xC4, MEDIA_BAY_BIT, BACKPLANE_DEVICE_TYPE, DS_INITIAL, "Media Bay", 0, 0, ROW_RESERVED_VALUE, nullptr, {}},
};

// The search takes the first match, so the order is part of the table.
const SYS_ID_MAP_ENTRY sys_id_map[platform_count] = {
    {0x016C, PRIMARY_ONLY, 1},
    {0x016D, BOTH_BACKPLANES, 2},
    {0x016E, ALL_BOARDS, 2},
    {0x017D, ALL_BOARDS, 2},
    {0x017E, ALL_BOARDS, 2},
    {0x0183, NO_BOARDS, 3},
    {0x0185, NO_BOARDS, 4},
    {0x0184, NO_BOARDS, 5},
    {0x016F, ALL_BOARDS, 6},
    {0x0170, ALL_BOARDS, 7},
    {0x018A, NO_BOARDS, 8},
    {0x019A, NO_BOARDS, 9},
};

bool is_answering_board(DEVICE_STATUS status)
{
    return status == DS_FOUND || status == DS_IMAGE_MATCHED || status == DS_TO_FLASH ||
           status == DS_SAME_VERSION;
}

RETURN_CODE get_devices_list(DAT_FILE_INFO *info)
{
    unsigned short system_id = 0;
    RETURN_CODE result = get_system_id(&system_id);
    if (result != RC_SUCCESS)
        return result;

    // Linked before the search, so that later stages see the table even on
    // a platform that is not supported.
    info->devices = devices_information;

    const SYS_ID_MAP_ENTRY *platform = nullptr;
    for (const SYS_ID_MAP_ENTRY &entry : sys_id_map) {
        if (entry.system_id == system_id) {
            platform = &entry;
            break;
        }
    }
    if (platform == nullptr) {
        display_redirection(PRT_ERROR, SYSTEM_NOT_SUPPORTED);
        return RC_PLATFORM_NOT_SUPPORTED;
    }
    info->device_mask = platform->device_mask;
    info->platform_value = platform->platform_value;
    info->system_id = platform->system_id;

    for (DEVICES_INFO &row : devices_information)
        row.status = (info->device_mask & row.device_mask_bit) != 0 ? DS_EXPECTED : DS_ABSENT;
    return RC_SUCCESS;
}

RETURN_CODE device_lookup(const DAT_FILE_INFO *info)
{
    unsigned char found_count = 0;
    display_redirection(PRT_PROGRESS, SEARCHING_FOR_DEVICES);
    for (uint16_t row = 0; row < const_glob_devices_count; row++) {
        display_redirection(PRT_PROGRESS, SEARCH_DOT);
        one_device_lookup(&info->devices[row], &found_count);
    }
    clear_line();
    if (found_count == 0) {
        display_redirection(PRT_ERROR, NO_DEVICES_FOUND);
        return RC_DEVICE_NOT_FOUND;
    }
    return RC_SUCCESS;
}
