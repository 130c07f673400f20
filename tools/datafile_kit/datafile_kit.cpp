// SPDX-License-Identifier: GPL-3.0-or-later
// The data-file kit over the program's records (datafile_format.h), its CRC
// step (proc_crc) and its transfer size (bp_flash.h): one definition of the
// format for the program and everything that makes or inspects its files.
#include "datafile_kit.h"

#include <cstring>

#include "datafile/datafile_format.h"
#include "datafile/proc_crc.h"
#include "flash/bp_flash.h"
#include "sim/sim_image.h"

namespace datafile_kit {

const uint8_t FILE_VERSION = DATA_FILE_VERSION;
const size_t FILE_HEADER_SIZE = sizeof(DAT_FILE_HDR);
const size_t IMAGE_HEADER_SIZE = sizeof(IMAGE_HDR);
const size_t SIGNATURE_SIZE = DATA_FILE_SIGNATURE_SIZE;
const char SIGNATURE[] = "QUOR_INC";
const size_t CRC_SIZE = DATA_FILE_CRC_SIZE;
const uint16_t BACKPLANE_TYPE = BACKPLANE_DEVICE_TYPE;
const uint32_t TRANSFER_BYTES = TRANSFER_SIZE;
const uint32_t SIM_REVISION_OFFSET = SIM_IMAGE_REVISION_MAJOR_OFFSET;

static_assert(sizeof SIGNATURE == sizeof DATA_FILE_SIGNATURE);
static_assert(SIM_IMAGE_REVISION_MINOR_OFFSET == SIM_IMAGE_REVISION_MAJOR_OFFSET + 1);

namespace {

constexpr size_t MAXIMUM_IMAGES = UINT8_MAX;
constexpr uint32_t LENGTH_BYTES = 2;
// The filler steps through every value from 0x01 to 0xFD with a period that
// matches no chunk or block size, so a lost, repeated or erased stretch shows.
constexpr uint32_t FILLER_PERIOD = 253;
constexpr uint32_t FILLER_STEP = 37;
constexpr uint8_t FILLER_BASE = 0x01;
constexpr uint8_t PRINTABLE_FIRST = 0x20;
constexpr uint8_t PRINTABLE_LAST = 0x7E;

std::string hex_digits(uint16_t value, int digits)
{
    static constexpr char DIGITS[] = "0123456789abcdef";
    std::string text = "0x";
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4)
        text += DIGITS[(value >> shift) & 0x0F];
    return text;
}

std::string hex16(uint16_t value)
{
    return hex_digits(value, 4);
}

std::string hex8(uint8_t value)
{
    return hex_digits(value, 2);
}

}  // namespace

std::string signature_text(const FileHeader &header)
{
    std::string text;
    for (uint8_t c : header.signature) {
        if (c >= PRINTABLE_FIRST && c <= PRINTABLE_LAST && c != '\\') {
            text += static_cast<char>(c);
        } else {
            static constexpr char DIGITS[] = "0123456789abcdef";
            text += "\\x";
            text += DIGITS[c >> 4];
            text += DIGITS[c & 0x0F];
        }
    }
    return text;
}

namespace {

void check_image(const Bytes &file, size_t index, Check &report)
{
    ImageCheck image;
    image.header = image_header(file.data(), index);
    const std::string name = "image " + std::to_string(index);
    const uint64_t offset = image.header.data_offset;
    const uint64_t length = image.header.image_length;

    image.data_inside = length > 0 && offset + length <= file.size();
    if (image.data_inside) {
        image.computed_crc = crc16(file.data() + offset, length);
        image.crc_ok = image.computed_crc == image.header.image_crc;
        if (!image.crc_ok)
            report.problems.push_back(name + ": CRC " + hex16(image.header.image_crc) + " stored, " +
                                      hex16(image.computed_crc) + " computed");
    } else if (length == 0) {
        // The program refuses to check an empty stretch, so the image can never pass.
        report.problems.push_back(name + ": length is 0, which no image CRC can cover");
    } else {
        report.problems.push_back(name + ": data (offset " + std::to_string(offset) + ", length " +
                                  std::to_string(length) + ") is not inside the file");
    }

    // What a board needs: the transfer always sends this many bytes from the
    // data offset, after checking that the first two carry the length.
    const uint64_t available = offset < file.size() ? file.size() - offset : 0;
    bool room = available >= TRANSFER_SIZE;
    if (!room)
        report.problems.push_back(name + ": only " + std::to_string(available) +
                                  " bytes from its data offset, fewer than the " + std::to_string(TRANSFER_SIZE) +
                                  " a board is sent");
    bool marker = false;
    if (available >= LENGTH_BYTES) {
        const uint16_t found = get_le16(file.data() + offset);
        const uint16_t wanted = static_cast<uint16_t>(length);
        marker = found == wanted;
        if (!marker)
            report.problems.push_back(name + ": first two data bytes read " + hex16(found) + ", not " + hex16(wanted) +
                                      " (the low 16 bits of its length)");
    }
    // The bit a board sets to report its boot block is no revision.
    const bool revision_ok = (image.header.rev_major & BOOT_BLOCK_BIT) == 0;
    if (!revision_ok)
        report.problems.push_back(name + ": major revision byte " + hex8(image.header.rev_major) +
                                  " has bit 7 set, which a board reports only from its boot block");
    image.flashable = image.data_inside && image.crc_ok && room && marker && revision_ok;
    report.images.push_back(image);
}

}  // namespace

uint16_t crc16(const uint8_t *data, size_t count)
{
    uint16_t crc = 0;
    for (size_t index = 0; index < count; index++)
        crc = process_CRC(data[index], crc);
    return crc;
}

uint16_t get_le16(const uint8_t *bytes)
{
    return static_cast<uint16_t>(bytes[0] | (bytes[1] << 8));
}

void put_le16(uint8_t *bytes, uint16_t value)
{
    bytes[0] = static_cast<uint8_t>(value & 0xFF);
    bytes[1] = static_cast<uint8_t>(value >> 8);
}

uint32_t get_le32(const uint8_t *bytes)
{
    return static_cast<uint32_t>(get_le16(bytes)) | (static_cast<uint32_t>(get_le16(bytes + 2)) << 16);
}

bool build(const std::vector<Image> &images, Bytes &file, std::string *error)
{
    auto fail = [error](const std::string &text) {
        if (error != nullptr)
            *error = text;
        return false;
    };
    if (images.empty())
        return fail("no image given");
    if (images.size() > MAXIMUM_IMAGES)
        return fail("a data file holds at most " + std::to_string(MAXIMUM_IMAGES) + " images");
    uint64_t total = IMAGE_HEADERS_OFFSET + images.size() * sizeof(IMAGE_HDR) + DATA_FILE_CRC_SIZE;
    for (const Image &image : images)
        total += image.data.size();
    if (total > UINT32_MAX)
        return fail("the images together are too large for a data file");

    file.assign(IMAGE_HEADERS_OFFSET + images.size() * sizeof(IMAGE_HDR), 0);
    DAT_FILE_HDR header{};
    header.version = DATA_FILE_VERSION;
    header.image_count = static_cast<uint8_t>(images.size());
    header.file_length = static_cast<uint32_t>(total);
    memcpy(header.signature, DATA_FILE_SIGNATURE, DATA_FILE_SIGNATURE_SIZE);
    memcpy(file.data(), &header, sizeof header);

    for (size_t index = 0; index < images.size(); index++) {
        const Image &image = images[index];
        IMAGE_HDR record{};
        record.device_type = image.device_type;
        record.rev_major = image.rev_major;
        record.rev_minor = image.rev_minor;
        record.image_length = static_cast<uint32_t>(image.data.size());
        record.data_offset = static_cast<uint32_t>(file.size());
        record.image_crc = crc16(image.data.data(), image.data.size());
        memcpy(file.data() + IMAGE_HEADERS_OFFSET + index * sizeof(IMAGE_HDR), &record, sizeof record);
        file.insert(file.end(), image.data.begin(), image.data.end());
    }
    const uint16_t crc = crc16(file.data(), file.size());
    file.resize(file.size() + DATA_FILE_CRC_SIZE);
    put_le16(file.data() + file.size() - DATA_FILE_CRC_SIZE, crc);
    return true;
}

bool reseal(Bytes &file)
{
    if (file.size() < sizeof(DAT_FILE_HDR))
        return false;
    const uint64_t length = file_header(file.data()).file_length;
    if (length < DATA_FILE_CRC_SIZE || length > file.size())
        return false;
    put_le16(file.data() + length - DATA_FILE_CRC_SIZE, crc16(file.data(), length - DATA_FILE_CRC_SIZE));
    return true;
}

void reseal_images(Bytes &file)
{
    if (file.size() < sizeof(DAT_FILE_HDR))
        return;
    const size_t count = file_header(file.data()).image_count;
    for (size_t index = 0; index < count; index++) {
        const size_t at = IMAGE_HEADERS_OFFSET + index * sizeof(IMAGE_HDR);
        if (at + sizeof(IMAGE_HDR) > file.size())
            break;
        const ImageHeader image = image_header(file.data(), index);
        const uint64_t end = static_cast<uint64_t>(image.data_offset) + image.image_length;
        if (image.image_length > 0 && end <= file.size())
            put_le16(file.data() + at + offsetof(IMAGE_HDR, image_crc),
                     crc16(file.data() + image.data_offset, image.image_length));
    }
}

Bytes simulated_image(uint32_t length, uint8_t major, uint8_t minor, uint32_t revision_offset)
{
    Bytes image(length);
    for (uint64_t index = 0; index < length; index++)
        image[index] = static_cast<uint8_t>(FILLER_BASE + (index * FILLER_STEP) % FILLER_PERIOD);
    if (length >= LENGTH_BYTES)
        put_le16(image.data(), static_cast<uint16_t>(length));
    if (static_cast<uint64_t>(revision_offset) + 1 < length) {
        image[revision_offset] = major;
        image[revision_offset + 1] = minor;
    }
    return image;
}

FileHeader file_header(const uint8_t *bytes)
{
    FileHeader header;
    header.version = bytes[offsetof(DAT_FILE_HDR, version)];
    header.image_count = bytes[offsetof(DAT_FILE_HDR, image_count)];
    header.file_length = get_le32(bytes + offsetof(DAT_FILE_HDR, file_length));
    memcpy(header.signature, bytes + offsetof(DAT_FILE_HDR, signature), sizeof header.signature);
    return header;
}

ImageHeader image_header(const uint8_t *bytes, size_t index)
{
    const uint8_t *record = bytes + IMAGE_HEADERS_OFFSET + index * sizeof(IMAGE_HDR);
    ImageHeader header;
    header.device_type = get_le16(record + offsetof(IMAGE_HDR, device_type));
    header.rev_major = record[offsetof(IMAGE_HDR, rev_major)];
    header.rev_minor = record[offsetof(IMAGE_HDR, rev_minor)];
    header.image_crc = get_le16(record + offsetof(IMAGE_HDR, image_crc));
    header.image_length = get_le32(record + offsetof(IMAGE_HDR, image_length));
    header.data_offset = get_le32(record + offsetof(IMAGE_HDR, data_offset));
    return header;
}

Check check(const Bytes &file)
{
    static_assert(sizeof(FileHeader::signature) == DATA_FILE_SIGNATURE_SIZE);
    Check report;
    report.size = file.size();
    if (file.size() < sizeof(DAT_FILE_HDR)) {
        report.problems.push_back("file is " + std::to_string(file.size()) + " bytes, shorter than the " +
                                  std::to_string(sizeof(DAT_FILE_HDR)) + "-byte header");
        return report;
    }
    report.have_header = true;
    report.header = file_header(file.data());
    const FileHeader &header = report.header;
    bool accepted = true;

    if (memcmp(header.signature, DATA_FILE_SIGNATURE, DATA_FILE_SIGNATURE_SIZE) != 0) {
        accepted = false;
        report.problems.push_back("signature is \"" + signature_text(header) + "\", not \"" + DATA_FILE_SIGNATURE +
                                  "\" and a zero byte");
    }
    if (header.version != DATA_FILE_VERSION) {
        accepted = false;
        report.problems.push_back("version " + std::to_string(header.version) + " is not supported (only " +
                                  std::to_string(DATA_FILE_VERSION) + ")");
    }

    const uint64_t length = header.file_length;
    if (length <= DATA_FILE_CRC_SIZE) {
        accepted = false;
        report.problems.push_back("file length " + std::to_string(length) +
                                  " leaves nothing for the file CRC to cover");
    } else if (length > file.size()) {
        accepted = false;
        report.problems.push_back("file length " + std::to_string(length) + " is beyond the end of the file (" +
                                  std::to_string(file.size()) + " bytes)");
    } else {
        report.crc_checked = true;
        report.stored_crc = get_le16(file.data() + length - DATA_FILE_CRC_SIZE);
        report.computed_crc = crc16(file.data(), length - DATA_FILE_CRC_SIZE);
        if (report.stored_crc != report.computed_crc) {
            accepted = false;
            report.problems.push_back("file CRC " + hex16(report.stored_crc) + " stored, " +
                                      hex16(report.computed_crc) + " computed");
        }
        report.trailing_bytes = file.size() - length;
        if (report.trailing_bytes > 0)
            report.problems.push_back(std::to_string(report.trailing_bytes) +
                                      " bytes after the file length are not covered by the file CRC");
    }

    const size_t count = header.image_count;
    if (count == 0) {
        accepted = false;
        report.problems.push_back("image count is 0");
    }
    const size_t fitting = (file.size() - IMAGE_HEADERS_OFFSET) / sizeof(IMAGE_HDR);
    if (count > fitting) {
        accepted = false;
        report.problems.push_back("image headers run past the end of the file: " + std::to_string(count) +
                                  " declared, " + std::to_string(fitting) + " fit");
    }
    for (size_t index = 0; index < count && index < fitting; index++)
        check_image(file, index, report);
    report.accepted = accepted;
    return report;
}

}  // namespace datafile_kit
