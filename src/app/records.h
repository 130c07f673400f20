// SPDX-License-Identifier: GPL-3.0-or-later
// The records every module shares: the run record that carries one run's
// state from stage to stage, the board record with its status byte, and the
// one-byte result vocabulary of every operation.
#pragma once

#include <cstddef>
#include <cstdint>

#include "datafile/datafile_format.h"

enum RETURN_CODE : uint8_t {
    RC_SUCCESS = 0,
    RC_FAILED = 1,
    RC_FILE_NOT_FOUND = 2,
    RC_OUT_OF_MEMORY = 3,
    RC_ERROR_IN_FILE = 4,
    RC_CRC_FAILED = 5,
    RC_DATA_FILE_NOT_RECOGNIZED = 6,
    RC_BMC_NOT_RESPONDING = 7,
    RC_FAILED_GENERAL = 8,
    RC_BAD_DATA = 9,
    RC_DEVICE_NOT_FOUND = 10,
    RC_FLASH_FAILED = 11,
    RC_FAILED_FLASH_GETID = 12,
    RC_ENTER_FW_XFER_FAILED = 13,
    RC_EXIT_FW_XFER_FAILED = 14,
    RC_VERSION_NOT_SUPPORTED = 15,
    RC_BAD_READ = 17,
    RC_CANNOT_CREATE_FILE = 18,
    RC_DISPLAYED = 20,
    RC_NOT_DISPLAYED = 21,
    RC_EXIT_OK = 22,
    RC_OPTION_ERROR = 23,
    RC_PLATFORM_NOT_SUPPORTED = 24,
    RC_END_OF_DATA = 25,
    RC_SIZE_MISMATCHED = 26,
    RC_LOAD_LIBRARY_FAILED = 27,
    RC_NOT_TRUSTED = 28,
};

enum DEVICE_STATUS : uint8_t {
    DS_INITIAL = 0,
    DS_EXPECTED = 1,
    DS_FOUND = 2,
    DS_IMAGE_MATCHED = 3,
    DS_ABSENT = 4,
    DS_TO_FLASH = 5,
    DS_SAME_VERSION = 6,
    DS_FLASHED = 7,
    DS_FLASH_FAILED = 8,
};

constexpr size_t DEVICE_NAME_SIZE = 40;
// Names are printed with "%.*s" and this bound: a name may fill its field with no zero.
constexpr int DEVICE_NAME_PRINT_WIDTH = static_cast<int>(DEVICE_NAME_SIZE);
constexpr size_t TEXT_FIELD_SIZE = 256;    // every text field: 255 characters and a zero
constexpr uint8_t BOOT_BLOCK_BIT = 0x80;   // in the current major byte

#pragma pack(push, 1)

struct DEVICES_INFO {
    uint8_t slave_address;
    uint32_t device_mask_bit;
    uint16_t device_type;
    DEVICE_STATUS status;
    char name[DEVICE_NAME_SIZE];
    uint8_t cur_major;                  // bit 7: running from the boot block
    uint8_t cur_minor;                  // BCD
    uint32_t reserved_value;
    const IMAGE_HDR *image;
    uint8_t reserved[4];
};

struct DAT_FILE_INFO {
    DAT_FILE_HDR header;
    uint16_t system_id;
    uint32_t device_mask;
    uint32_t platform_value;
    DEVICES_INFO *devices;
    const IMAGE_HDR *images;
    char data_file_name[TEXT_FIELD_SIZE];
};

#pragma pack(pop)

static_assert(sizeof(RETURN_CODE) == 1);
static_assert(sizeof(DEVICE_STATUS) == 1);

static_assert(sizeof(DEVICES_INFO) == 66);
static_assert(offsetof(DEVICES_INFO, device_mask_bit) == 1);
static_assert(offsetof(DEVICES_INFO, device_type) == 5);
static_assert(offsetof(DEVICES_INFO, status) == 7);
static_assert(offsetof(DEVICES_INFO, name) == 8);
static_assert(offsetof(DEVICES_INFO, cur_major) == 48);
static_assert(offsetof(DEVICES_INFO, cur_minor) == 49);
static_assert(offsetof(DEVICES_INFO, reserved_value) == 50);
static_assert(offsetof(DEVICES_INFO, image) == 54);
static_assert(offsetof(DEVICES_INFO, reserved) == 62);

static_assert(sizeof(DAT_FILE_INFO) == 299);
static_assert(offsetof(DAT_FILE_INFO, system_id) == 17);
static_assert(offsetof(DAT_FILE_INFO, device_mask) == 19);
static_assert(offsetof(DAT_FILE_INFO, platform_value) == 23);
static_assert(offsetof(DAT_FILE_INFO, devices) == 27);
static_assert(offsetof(DAT_FILE_INFO, images) == 35);
static_assert(offsetof(DAT_FILE_INFO, data_file_name) == 43);
