// SPDX-License-Identifier: GPL-3.0-or-later
// The data-file kit: builds, reseals and checks a data file held in a byte
// buffer, with the program's own records and CRC step. No file or console I/O:
// fwpack, the test fixtures and the fuzz targets bring their own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace datafile_kit {

using Bytes = std::vector<uint8_t>;

// The format's numbers, for callers that do not read the program's records.
extern const uint8_t FILE_VERSION;
extern const size_t FILE_HEADER_SIZE;
extern const size_t IMAGE_HEADER_SIZE;
extern const size_t SIGNATURE_SIZE;  // the 8 characters and a zero byte
extern const char SIGNATURE[];       // the 8 characters
extern const size_t CRC_SIZE;
extern const uint16_t BACKPLANE_TYPE;
// What a board is always sent from an image's data offset.
extern const uint32_t TRANSFER_BYTES;
// Where a simulated image carries its revision unless told otherwise.
extern const uint32_t SIM_REVISION_OFFSET;

uint16_t crc16(const uint8_t *data, size_t count);
uint16_t get_le16(const uint8_t *bytes);
void put_le16(uint8_t *bytes, uint16_t value);
uint32_t get_le32(const uint8_t *bytes);

struct Image {
    uint16_t device_type;
    uint8_t rev_major;
    uint8_t rev_minor;
    Bytes data;
};

// Headers, the images back to back, the file CRC. Fails (with the reason)
// when there is no image, more than 255, or more than 4 GiB in all.
bool build(const std::vector<Image> &images, Bytes &file, std::string *error);

// Writes the file CRC again where the header's file length puts it; false
// when that length leaves no room for it inside the buffer.
bool reseal(Bytes &file);
// Writes every image CRC again that covers bytes inside the buffer (before a
// reseal, when a change by hand should get past the image checks too).
void reseal_images(Bytes &file);

// An image as the simulated boards take it: `length` bytes, the low 16 bits
// of the length first, the revision at `revision_offset` (major, then minor),
// and a filler that never looks erased or zeroed.
Bytes simulated_image(uint32_t length, uint8_t major, uint8_t minor, uint32_t revision_offset);

// Field views of a file's headers, read without alignment assumptions.
struct FileHeader {
    uint8_t version = 0;
    uint8_t image_count = 0;
    uint32_t file_length = 0;
    uint8_t signature[9] = {};
};

struct ImageHeader {
    uint16_t device_type = 0;
    uint8_t rev_major = 0;
    uint8_t rev_minor = 0;
    uint16_t image_crc = 0;
    uint32_t image_length = 0;
    uint32_t data_offset = 0;
};

FileHeader file_header(const uint8_t *bytes);
// The signature's nine bytes as text, "\xHH" for a byte that is not printable.
std::string signature_text(const FileHeader &header);
ImageHeader image_header(const uint8_t *bytes, size_t index);

struct ImageCheck {
    ImageHeader header;
    bool data_inside = false;   // the whole image lies inside the buffer
    uint16_t computed_crc = 0;  // when data_inside
    bool crc_ok = false;
    bool flashable = false;  // what the program checks before it unlocks a board
};

struct Check {
    size_t size = 0;
    bool have_header = false;
    FileHeader header;
    std::vector<ImageCheck> images;  // those whose headers lie inside the buffer
    bool crc_checked = false;
    uint16_t stored_crc = 0;
    uint16_t computed_crc = 0;
    uint64_t trailing_bytes = 0;
    // The program takes the file: signature, version, file CRC, image headers.
    bool accepted = false;
    // Everything that keeps the file from being accepted or an image from
    // being flashed, and the bytes the file CRC leaves uncovered.
    std::vector<std::string> problems;
};

// The program's acceptance rules over a whole file.
Check check(const Bytes &file);

}  // namespace datafile_kit
