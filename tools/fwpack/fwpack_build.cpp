// SPDX-License-Identifier: GPL-3.0-or-later
// fwpack build: packs firmware images into a data file the way the program
// checks it: file header, image headers, image data, whole-file CRC. Images
// that no board could ever take are refused.
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "fwpack_commands.h"
#include "fwpack_common.h"

namespace {

constexpr const char *COMMAND = "build";
constexpr size_t MAXIMUM_IMAGES = UINT8_MAX;
using datafile_kit::TRANSFER_BYTES;

constexpr char HELP[] = "Usage: fwpack build -o FILE [--patch-length | --allow-unflashable]\n"
                        "                    [--type N] --rev M.mm IMAGE\n"
                        "                    [[--type N] --rev M.mm IMAGE ...]\n"
                        "\n"
                        "Packs 1 to 255 firmware images into a data file. --type and --rev apply to\n"
                        "the IMAGE that follows them; every IMAGE needs its own --rev.\n"
                        "\n"
                        "Options:\n"
                        "  -o, --output FILE   data file to write (required)\n"
                        "  --type N            device type of the next image (default 2)\n"
                        "  --rev M.mm          revision of the next image (required): major in\n"
                        "                      decimal (0-127), minor as two hexadecimal digits,\n"
                        "                      e.g. 1.06 or 2.0a\n"
                        "  --patch-length      write the low 16 bits of each image's length into its\n"
                        "                      first two bytes instead of refusing an image whose\n"
                        "                      first two bytes differ\n"
                        "  --allow-unflashable pack every image as it is, also one the program would\n"
                        "                      refuse to send to a board (too short, or first two\n"
                        "                      bytes not its length): for rehearsing that refusal\n"
                        "  -h, --help          show this help\n"
                        "\n"
                        "An image shorter than 45056 bytes, the amount a board is always sent, is\n"
                        "refused.\n";

struct ImageSpec {
    std::string path;
    uint16_t device_type;
    bool have_revision;  // the revision is the packer's word: nothing in an image says it
    uint8_t rev_major;
    uint8_t rev_minor;
    Bytes data;
};

// Reads an image and checks that a board could take it.
bool load_image(ImageSpec &image, bool patch_length, bool allow_unflashable)
{
    std::string error;
    if (!read_whole_file(image.path, image.data, error)) {
        report_error(COMMAND, error);
        return false;
    }
    const size_t size = image.data.size();
    if (size == 0) {
        report_error(COMMAND, image.path + ": empty; no image CRC can cover it");
        return false;
    }
    if (allow_unflashable)
        return true;
    if (size < TRANSFER_BYTES) {
        report_error(COMMAND,
                     image.path + ": " + std::to_string(size) + " bytes, fewer than the " +
                         std::to_string(TRANSFER_BYTES) + " a board is sent; it could never be flashed");
        return false;
    }
    if (size > UINT32_MAX) {
        report_error(COMMAND, image.path + ": too large for a data file");
        return false;
    }
    const uint16_t wanted = static_cast<uint16_t>(size);
    const uint16_t found = datafile_kit::get_le16(image.data.data());
    if (found != wanted) {
        if (!patch_length) {
            report_error(COMMAND,
                         image.path + ": first two bytes read " + hex16(found) + ", not " + hex16(wanted) +
                             " (the low 16 bits of its length); a board would refuse it"
                             " (--patch-length writes them)");
            return false;
        }
        datafile_kit::put_le16(image.data.data(), wanted);
    }
    return true;
}

}  // namespace

int run_build(int argc, char **argv)
{
    std::string output;
    bool patch_length = false;
    bool allow_unflashable = false;
    std::vector<ImageSpec> images;
    ImageSpec pending{"", datafile_kit::BACKPLANE_TYPE, false, 0, 0, {}};
    bool pending_options = false;

    ArgScanner args(argc, argv);
    for (ArgKind kind = args.next(); kind != ArgKind::end; kind = args.next()) {
        if (kind == ArgKind::operand) {
            pending.path = args.word();
            if (!pending.have_revision)
                return usage_error(COMMAND, "no revision given for '" + pending.path + "' (--rev M.mm before it)");
            images.push_back(pending);
            pending = ImageSpec{"", datafile_kit::BACKPLANE_TYPE, false, 0, 0, {}};
            pending_options = false;
            continue;
        }
        const std::string option = args.word();
        std::string value;
        if (option == "-h" || option == "--help") {
            fputs(HELP, stdout);
            return EXIT_OK;
        } else if (option == "-o" || option == "--output") {
            if (!args.take_value(output) || output.empty())
                return usage_error(COMMAND, option + " needs a file name");
        } else if (option == "--patch-length") {
            if (args.has_inline_value())
                return usage_error(COMMAND, "--patch-length takes no value");
            patch_length = true;
        } else if (option == "--allow-unflashable") {
            if (args.has_inline_value())
                return usage_error(COMMAND, "--allow-unflashable takes no value");
            allow_unflashable = true;
        } else if (option == "--type") {
            uint64_t type = 0;
            if (!args.take_value(value) || !parse_unsigned(value, UINT16_MAX, type))
                return usage_error(COMMAND, "--type needs a device type from 0 to 65535, not '" + value + "'");
            pending.device_type = static_cast<uint16_t>(type);
            pending_options = true;
        } else if (option == "--rev") {
            if (!args.take_value(value) || !parse_revision(value, pending.rev_major, pending.rev_minor))
                return usage_error(COMMAND, "--rev needs a revision M.mm such as 1.06 or 2.0a, not '" + value + "'");
            pending.have_revision = true;
            pending_options = true;
        } else {
            return usage_error(COMMAND, "unknown option '" + option + "'");
        }
    }
    if (output.empty())
        return usage_error(COMMAND, "no output file given (-o FILE)");
    if (patch_length && allow_unflashable)
        return usage_error(COMMAND, "--patch-length and --allow-unflashable exclude each other");
    if (pending_options)
        return usage_error(COMMAND, "--type or --rev after the last image applies to no image");
    if (images.empty())
        return usage_error(COMMAND, "no image given");
    if (images.size() > MAXIMUM_IMAGES)
        return usage_error(COMMAND, "a data file holds at most " + std::to_string(MAXIMUM_IMAGES) + " images");

    for (ImageSpec &image : images) {
        if (!load_image(image, patch_length, allow_unflashable))
            return EXIT_FAILED;
    }
    std::vector<datafile_kit::Image> packed;
    packed.reserve(images.size());
    for (ImageSpec &image : images)
        packed.push_back({image.device_type, image.rev_major, image.rev_minor, std::move(image.data)});
    Bytes file;
    std::string error;
    if (!datafile_kit::build(packed, file, &error)) {
        report_error(COMMAND, error);
        return EXIT_FAILED;
    }
    if (!write_whole_file(output, file, error)) {
        report_error(COMMAND, error);
        return EXIT_FAILED;
    }
    return EXIT_OK;
}
