// SPDX-License-Identifier: GPL-3.0-or-later
// fwpack image: a firmware image for the simulated platform, which carries
// its length in its first two bytes and its revision where the simulated
// boards look for it.
#include <cstdio>
#include <string>

#include "fwpack_commands.h"
#include "fwpack_common.h"

namespace {

constexpr const char *COMMAND = "image";
constexpr uint32_t LENGTH_BYTES = 2;
constexpr uint32_t REVISION_BYTES = 2;
constexpr uint64_t MAXIMUM_LENGTH = 16u << 20;

constexpr char HELP[] = "Usage: fwpack image -o FILE --rev M.mm [--length N] [--rev-offset N]\n"
                        "\n"
                        "Makes a firmware image for the simulated platform: N bytes, the first two\n"
                        "holding the low 16 bits of N (low byte first), the revision at bytes 2\n"
                        "(major) and 3 (minor), and a fixed filler pattern elsewhere. A simulated\n"
                        "board reports the revision it finds at bytes 2 and 3 once flashed.\n"
                        "\n"
                        "Options:\n"
                        "  -o, --output FILE   image file to write (required)\n"
                        "  --rev M.mm          revision: major in decimal (0-127), minor as two\n"
                        "                      hexadecimal digits, e.g. 1.06, 1.10, 2.0a (required)\n"
                        "  --length N          image length in bytes (default 45056, at least 4)\n"
                        "  --rev-offset N      write the revision at bytes N and N+1 instead of 2 and 3\n"
                        "                      (at least 2, so that it leaves the length alone)\n"
                        "  -h, --help          show this help\n"
                        "\n"
                        "An image shorter than 45056 bytes, the amount a board is always sent, is\n"
                        "made as asked, with a note on stderr: fwpack build refuses it.\n";

}  // namespace

int run_image(int argc, char **argv)
{
    std::string output;
    bool have_revision = false;
    uint8_t major = 0;
    uint8_t minor = 0;
    uint64_t length = datafile_kit::TRANSFER_BYTES;
    uint64_t revision_offset = datafile_kit::SIM_REVISION_OFFSET;
    std::string length_text;

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
            if (!args.take_value(length_text) || !parse_unsigned(length_text, MAXIMUM_LENGTH, length))
                length = 0;
        } else if (option == "--rev-offset") {
            if (!args.take_value(value) || !parse_unsigned(value, MAXIMUM_LENGTH, revision_offset) ||
                revision_offset < LENGTH_BYTES)
                return usage_error(COMMAND,
                                   "--rev-offset needs a byte offset of at least " + std::to_string(LENGTH_BYTES) +
                                       ", not '" + value + "'");
        } else {
            return usage_error(COMMAND, "unknown option '" + option + "'");
        }
    }
    // The revision must fit inside the image, wherever it goes.
    const uint64_t minimum_length = revision_offset + REVISION_BYTES;
    if (length < minimum_length)
        return usage_error(COMMAND,
                           "--length needs a number from " + std::to_string(minimum_length) + " to " +
                               std::to_string(MAXIMUM_LENGTH) + ", not '" + length_text + "'");
    if (output.empty())
        return usage_error(COMMAND, "no output file given (-o FILE)");
    if (!have_revision)
        return usage_error(COMMAND, "no revision given (--rev M.mm)");

    const Bytes image = datafile_kit::simulated_image(static_cast<uint32_t>(length), major, minor,
                                                      static_cast<uint32_t>(revision_offset));
    std::string error;
    if (!write_whole_file(output, image, error)) {
        report_error(COMMAND, error);
        return EXIT_FAILED;
    }
    if (length < datafile_kit::TRANSFER_BYTES)
        report_error(COMMAND,
                     "note: " + output + " is " + std::to_string(length) + " bytes, fewer than the " +
                         std::to_string(datafile_kit::TRANSFER_BYTES) +
                         " a board is sent; fwpack build will refuse it");
    return EXIT_OK;
}
