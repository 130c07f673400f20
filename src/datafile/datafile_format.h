// SPDX-License-Identifier: GPL-3.0-or-later
// The data file's on-disk records: the file header and the image header.
// The program, fwpack and the tests all read and write the format through
// these two definitions, so it exists exactly once.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint8_t DATA_FILE_VERSION = 2;
constexpr char DATA_FILE_SIGNATURE[] = "QUOR_INC";    // 8 characters and the terminating zero
constexpr size_t DATA_FILE_SIGNATURE_SIZE = 9;
constexpr uint32_t DATA_FILE_CRC_SIZE = 2;
constexpr uint16_t BACKPLANE_DEVICE_TYPE = 2;
// The largest data file read at all: far above 255 images of a board's
// 45,056 bytes with their headers (about 11 MiB).
constexpr long DATA_FILE_SIZE_LIMIT = 64L * 1024 * 1024;

#pragma pack(push, 1)

struct DAT_FILE_HDR {
    uint8_t version;
    uint8_t image_count;
    uint32_t file_length;    // bytes from the start through the two file-CRC bytes
    uint8_t reserved[2];
    char signature[DATA_FILE_SIGNATURE_SIZE];
};

struct IMAGE_HDR {
    uint8_t reserved0;
    uint16_t device_type;
    uint8_t reserved1[4];
    uint8_t rev_major;
    uint8_t rev_minor;       // BCD
    uint16_t image_crc;
    uint32_t image_length;
    uint32_t data_offset;
    uint8_t reserved2[32];
};

#pragma pack(pop)

static_assert(sizeof(DAT_FILE_HDR) == 17);
static_assert(offsetof(DAT_FILE_HDR, image_count) == 1);
static_assert(offsetof(DAT_FILE_HDR, file_length) == 2);
static_assert(offsetof(DAT_FILE_HDR, signature) == 8);

static_assert(sizeof(IMAGE_HDR) == 51);
static_assert(offsetof(IMAGE_HDR, device_type) == 1);
static_assert(offsetof(IMAGE_HDR, rev_major) == 7);
static_assert(offsetof(IMAGE_HDR, rev_minor) == 8);
static_assert(offsetof(IMAGE_HDR, image_crc) == 9);
static_assert(offsetof(IMAGE_HDR, image_length) == 11);
static_assert(offsetof(IMAGE_HDR, data_offset) == 15);
static_assert(offsetof(IMAGE_HDR, reserved2) == 19);

constexpr uint32_t IMAGE_HEADERS_OFFSET = sizeof(DAT_FILE_HDR);
