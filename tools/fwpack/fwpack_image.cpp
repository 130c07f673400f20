// SPDX-License-Identifier: GPL-3.0-or-later
// fwpack image: a firmware image for the simulated platform, which carries
// its length in its first two bytes and its revision where the simulated
// boards look for it.
#include <cstdio>
#include <string>

#include "flash/bp_flash.h"
#include "fwpack_commands.h"
#include "fwpack_common.h"
#include "sim/sim_image.h"

namespace {

constexpr const char *COMMAND = "image";
constexpr uint32_t LENGTH_BYTES = 2;
static_assert(SIM_IMAGE_REVISION_MAJOR_OFFSET >= LENGTH_BYTES && SIM_IMAGE_REVISION_MINOR_OFFSET >= LENGTH_BYTES,
              "the revision must not overlap the length bytes");
constexpr uint64_t MINIMUM_LENGTH = SIM_IMAGE_REVISION_MINOR_OFFSET + 1;
constexpr uint64_t MAXIMUM_LENGTH = 16u << 20;
// The filler steps through every value from 0x01 to 0xFD with a period that
// matches no chunk or block size, so a lost, repeated or erased stretch shows.
constexpr uint32_t FILLER_PERIOD = 253;
constexpr uint32_t FILLER_STEP = 37;
constexpr uint8_t FILLER_BASE = 0x01;

constexpr char HELP[] =
    "Usage: fwpack image -o FILE --rev M.mm [--length N]\n"
    "\n"
    "Makes a firmware image for the simulated platform: N bytes, the first two\n"
    "holding the low 16 bits of N (low byte first), the revision at bytes 2\n"
    "(major) and 3 (minor), and a fixed filler pattern elsewhere.\n"
    "\n"
    "Options:\n"
    "  -o, --output FILE   image file to write (required)\n"
    "  --rev M.mm          revision: major in decimal (0-127), minor as two\n"
    "                      hexadecimal digits, e.g. 1.06, 1.10, 2.0a (required)\n"
    "  --length N          image length in bytes (default 45056, at least 4)\n"
    "  -h, --help          show this help\n";

}  // namespace

int run_image(int argc, char **argv)
{
    std::string output;
    bool have_revision = false;
    uint8_t major = 0;
    uint8_t minor = 0;
    uint64_t length = TRANSFER_SIZE;

    ArgScanner args(argc, argv);
    for (ArgKind kind = args.next(); kind != ArgKind::end; kind = args.next()) {
        if (kind == ArgKind::operand)
            return usage_error(COMMAND, "unexpected argument '" + args.word() + "'");
        const std::string option = args.word();
        if (option == "-h" || option == "--help") {
            fputs(HELP, stdout);
            return EXIT_OK;
        }
        std::string value;
        if (option == "-o" || option == "--output") {
            if (!args.take_value(output) || output.empty())
                return usage_error(COMMAND, option + " needs a file name");
        } else if (option == "--rev") {
            if (!args.take_value(value) || !parse_revision(value, major, minor))
                return usage_error(COMMAND, "--rev needs a revision M.mm such as 1.06 or 2.0a, not '" + value + "'");
            have_revision = true;
        } else if (option == "--length") {
            if (!args.take_value(value) || !parse_unsigned(value, MAXIMUM_LENGTH, length) || length < MINIMUM_LENGTH)
                return usage_error(COMMAND, "--length needs a number from " + std::to_string(MINIMUM_LENGTH) +
                                                " to " + std::to_string(MAXIMUM_LENGTH) + ", not '" + value + "'");
        } else {
            return usage_error(COMMAND, "unknown option '" + option + "'");
        }
    }
    if (output.empty())
        return usage_error(COMMAND, "no output file given (-o FILE)");
    if (!have_revision)
        return usage_error(COMMAND, "no revision given (--rev M.mm)");

    Bytes image(length);
    for (uint64_t index = 0; index < length; index++)
        image[index] = static_cast<uint8_t>(FILLER_BASE + (index * FILLER_STEP) % FILLER_PERIOD);
    put_le16(image.data(), static_cast<uint16_t>(length));
    image[SIM_IMAGE_REVISION_MAJOR_OFFSET] = major;
    image[SIM_IMAGE_REVISION_MINOR_OFFSET] = minor;

    std::string error;
    if (!write_whole_file(output, image, error)) {
        report_error(COMMAND, error);
        return EXIT_FAILED;
    }
    return EXIT_OK;
}
