// SPDX-License-Identifier: GPL-3.0-or-later
// fwpack show: describes a data file field by field and checks everything
// the program checks before and during a flash, plus the bytes the file CRC
// leaves uncovered. Problems go to stderr; the exit status says if any.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "datafile/datafile_format.h"
#include "flash/bp_flash.h"
#include "fwpack_commands.h"
#include "fwpack_common.h"

namespace {

constexpr const char *COMMAND = "show";
constexpr uint8_t PRINTABLE_FIRST = 0x20;
constexpr uint8_t PRINTABLE_LAST = 0x7E;

constexpr char HELP[] =
    "Usage: fwpack show [--json] FILE\n"
    "\n"
    "Describes a data file: its header, one line per image (index, device type,\n"
    "revision, length, data offset, image CRC) and the file CRC. Every problem\n"
    "is reported on stderr and makes the exit status 1: a header the program\n"
    "refuses, a wrong CRC, image data outside the file, an image no board could\n"
    "take, or bytes after the file length that the file CRC does not cover.\n"
    "\n"
    "Options:\n"
    "  --json      print the description as one JSON object\n"
    "  -h, --help  show this help\n";

struct ImageReport {
    IMAGE_HDR header;
    bool data_inside;          // the whole image lies inside the file
    uint16_t computed_crc;
    bool flashable;
};

struct FileReport {
    size_t size = 0;
    bool have_header = false;
    DAT_FILE_HDR header{};
    std::vector<ImageReport> images;
    bool crc_checked = false;
    uint16_t stored_crc = 0;
    uint16_t computed_crc = 0;
    uint64_t trailing_bytes = 0;
    std::vector<std::string> problems;
};

std::string signature_text(const DAT_FILE_HDR &header)
{
    std::string text;
    for (size_t index = 0; index < DATA_FILE_SIGNATURE_SIZE; index++) {
        const uint8_t c = static_cast<uint8_t>(header.signature[index]);
        if (c >= PRINTABLE_FIRST && c <= PRINTABLE_LAST && c != '\\') {
            text += static_cast<char>(c);
        } else {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\x%02x", c);
            text += escaped;
        }
    }
    return text;
}

void check_image(const Bytes &file, size_t index, FileReport &report)
{
    ImageReport image{};
    memcpy(&image.header, file.data() + IMAGE_HEADERS_OFFSET + index * sizeof(IMAGE_HDR), sizeof(IMAGE_HDR));
    const std::string name = "image " + std::to_string(index);
    const uint64_t offset = image.header.data_offset;
    const uint64_t length = image.header.image_length;

    image.data_inside = length > 0 && offset + length <= file.size();
    if (image.data_inside) {
        image.computed_crc = crc_of(file.data() + offset, length);
        if (image.computed_crc != image.header.image_crc)
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
    image.flashable = available >= TRANSFER_SIZE;
    if (!image.flashable)
        report.problems.push_back(name + ": only " + std::to_string(available) + " bytes from its data offset, fewer than the " +
                                  std::to_string(TRANSFER_SIZE) + " a board is sent");
    if (available >= sizeof(uint16_t)) {
        const uint16_t found = get_le16(file.data() + offset);
        const uint16_t wanted = static_cast<uint16_t>(length);
        if (found != wanted) {
            image.flashable = false;
            report.problems.push_back(name + ": first two data bytes read " + hex16(found) + ", not " + hex16(wanted) +
                                      " (the low 16 bits of its length)");
        }
    }
    report.images.push_back(image);
}

void check_file(const Bytes &file, FileReport &report)
{
    report.size = file.size();
    if (file.size() < sizeof(DAT_FILE_HDR)) {
        report.problems.push_back("file is " + std::to_string(file.size()) + " bytes, shorter than the " +
                                  std::to_string(sizeof(DAT_FILE_HDR)) + "-byte header");
        return;
    }
    report.have_header = true;
    memcpy(&report.header, file.data(), sizeof(DAT_FILE_HDR));
    const DAT_FILE_HDR &header = report.header;

    if (strncmp(header.signature, DATA_FILE_SIGNATURE, DATA_FILE_SIGNATURE_SIZE) != 0)
        report.problems.push_back("signature is \"" + signature_text(header) + "\", not \"" + DATA_FILE_SIGNATURE +
                                  "\" and a zero byte");
    if (header.version != DATA_FILE_VERSION)
        report.problems.push_back("version " + std::to_string(header.version) + " is not supported (only " +
                                  std::to_string(DATA_FILE_VERSION) + ")");

    const uint64_t length = header.file_length;
    if (length <= DATA_FILE_CRC_SIZE) {
        report.problems.push_back("file length " + std::to_string(length) + " leaves nothing for the file CRC to cover");
    } else if (length > file.size()) {
        report.problems.push_back("file length " + std::to_string(length) + " is beyond the end of the file (" +
                                  std::to_string(file.size()) + " bytes)");
    } else {
        report.crc_checked = true;
        report.stored_crc = get_le16(file.data() + length - DATA_FILE_CRC_SIZE);
        report.computed_crc = crc_of(file.data(), length - DATA_FILE_CRC_SIZE);
        if (report.stored_crc != report.computed_crc)
            report.problems.push_back("file CRC " + hex16(report.stored_crc) + " stored, " +
                                      hex16(report.computed_crc) + " computed");
        report.trailing_bytes = file.size() - length;
        if (report.trailing_bytes > 0)
            report.problems.push_back(std::to_string(report.trailing_bytes) +
                                      " bytes after the file length are not covered by the file CRC");
    }

    const size_t count = header.image_count;
    if (count == 0)
        report.problems.push_back("image count is 0");
    const size_t fitting = (file.size() - IMAGE_HEADERS_OFFSET) / sizeof(IMAGE_HDR);
    if (count > fitting)
        report.problems.push_back("image headers run past the end of the file: " + std::to_string(count) +
                                  " declared, " + std::to_string(fitting) + " fit");
    for (size_t index = 0; index < count && index < fitting; index++)
        check_image(file, index, report);
}

void print_header_and_images(const FileReport &report);

void print_text(const std::string &path, const FileReport &report)
{
    printf("%s: %zu bytes\n", path.c_str(), report.size);
    if (report.have_header)
        print_header_and_images(report);
    printf("%s\n", report.problems.empty() ? "valid" : "INVALID");
}

void print_header_and_images(const FileReport &report)
{
    const DAT_FILE_HDR &header = report.header;
    printf("  version      %u\n", header.version);
    printf("  images       %u\n", header.image_count);
    printf("  file length  %u\n", header.file_length);
    printf("  signature    \"%s\"\n", signature_text(header).c_str());
    for (size_t index = 0; index < report.images.size(); index++) {
        const ImageReport &image = report.images[index];
        std::string crc_state;
        if (!image.data_inside)
            crc_state = "unchecked";
        else if (image.computed_crc == image.header.image_crc)
            crc_state = "ok";
        else
            crc_state = "MISMATCH";
        printf("  image %zu: type %u, revision %s, length %u, offset %u, crc %s %s%s\n", index,
               image.header.device_type, format_revision(image.header.rev_major, image.header.rev_minor).c_str(),
               image.header.image_length, image.header.data_offset, hex16(image.header.image_crc).c_str(),
               crc_state.c_str(), image.flashable ? "" : ", not flashable");
    }
    if (report.crc_checked)
        printf("  file crc     %s %s\n", hex16(report.stored_crc).c_str(),
               report.stored_crc == report.computed_crc ? "ok" : "MISMATCH");
    else
        printf("  file crc     unchecked\n");
    if (report.trailing_bytes > 0)
        printf("  trailing     %llu bytes\n", static_cast<unsigned long long>(report.trailing_bytes));
}

std::string json_string(const std::string &text)
{
    std::string quoted = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += static_cast<char>(c);
        } else if (c < PRINTABLE_FIRST || c > PRINTABLE_LAST) {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\u%04x", c);
            quoted += escaped;
        } else {
            quoted += static_cast<char>(c);
        }
    }
    return quoted + "\"";
}

const char *json_bool(bool value)
{
    return value ? "true" : "false";
}

void print_json(const std::string &path, const FileReport &report)
{
    printf("{\"file\": %s, \"size\": %zu", json_string(path).c_str(), report.size);
    if (report.have_header) {
        const DAT_FILE_HDR &header = report.header;
        printf(", \"header\": {\"version\": %u, \"image_count\": %u, \"file_length\": %u, \"signature\": %s}",
               header.version, header.image_count, header.file_length, json_string(signature_text(header)).c_str());
    } else {
        printf(", \"header\": null");
    }
    printf(", \"images\": [");
    for (size_t index = 0; index < report.images.size(); index++) {
        const ImageReport &image = report.images[index];
        printf("%s{\"index\": %zu, \"device_type\": %u, \"revision\": %s, \"length\": %u, \"data_offset\": %u, "
               "\"crc\": %u, \"computed_crc\": ",
               index == 0 ? "" : ", ", index, image.header.device_type,
               json_string(format_revision(image.header.rev_major, image.header.rev_minor)).c_str(),
               image.header.image_length, image.header.data_offset, image.header.image_crc);
        if (image.data_inside)
            printf("%u", image.computed_crc);
        else
            printf("null");
        printf(", \"crc_ok\": %s, \"flashable\": %s}",
               json_bool(image.data_inside && image.computed_crc == image.header.image_crc),
               json_bool(image.flashable));
    }
    printf("], \"file_crc\": ");
    if (report.crc_checked)
        printf("{\"stored\": %u, \"computed\": %u, \"ok\": %s}", report.stored_crc, report.computed_crc,
               json_bool(report.stored_crc == report.computed_crc));
    else
        printf("null");
    printf(", \"trailing_bytes\": %llu, \"problems\": [", static_cast<unsigned long long>(report.trailing_bytes));
    for (size_t index = 0; index < report.problems.size(); index++)
        printf("%s%s", index == 0 ? "" : ", ", json_string(report.problems[index]).c_str());
    printf("], \"ok\": %s}\n", json_bool(report.problems.empty()));
}

}  // namespace

int run_show(int argc, char **argv)
{
    bool json = false;
    std::string path;
    bool have_path = false;

    ArgScanner args(argc, argv);
    for (ArgKind kind = args.next(); kind != ArgKind::end; kind = args.next()) {
        if (kind == ArgKind::operand) {
            if (have_path)
                return usage_error(COMMAND, "only one file can be shown, not also '" + args.word() + "'");
            path = args.word();
            have_path = true;
            continue;
        }
        const std::string option = args.word();
        if (option == "-h" || option == "--help") {
            fputs(HELP, stdout);
            return EXIT_OK;
        } else if (option == "--json" && !args.has_inline_value()) {
            json = true;
        } else {
            return usage_error(COMMAND, "unknown option '" + option + "'");
        }
    }
    if (!have_path)
        return usage_error(COMMAND, "no file given");

    Bytes file;
    std::string error;
    if (!read_whole_file(path, file, error)) {
        report_error(COMMAND, error);
        return EXIT_FAILED;
    }
    FileReport report;
    check_file(file, report);
    if (json)
        print_json(path, report);
    else
        print_text(path, report);
    fflush(stdout);
    for (const std::string &problem : report.problems)
        report_error(COMMAND, path + ": " + problem);
    return report.problems.empty() ? EXIT_OK : EXIT_FAILED;
}
