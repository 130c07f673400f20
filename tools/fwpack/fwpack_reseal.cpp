// SPDX-License-Identifier: GPL-3.0-or-later
// fwpack reseal: writes a data file's CRC again where its header's file
// length puts it, for a file whose bytes were changed by hand on purpose.
#include <cstdio>
#include <string>

#include "fwpack_commands.h"
#include "fwpack_common.h"

namespace {

constexpr const char *COMMAND = "reseal";

constexpr char HELP[] = "Usage: fwpack reseal FILE\n"
                        "\n"
                        "Writes the file CRC of FILE again, in place: over every byte before the\n"
                        "last two that its header's file length counts, stored at those two bytes.\n"
                        "Nothing else in the file changes. Fails when the header is missing or its\n"
                        "file length leaves no room for the CRC inside the file.\n"
                        "\n"
                        "Options:\n"
                        "  -h, --help  show this help\n";

}  // namespace

int run_reseal(int argc, char **argv)
{
    std::string path;
    ArgScanner args(argc, argv);
    for (ArgKind kind = args.next(); kind != ArgKind::end; kind = args.next()) {
        if (kind == ArgKind::operand) {
            if (!path.empty())
                return usage_error(COMMAND, "only one file can be resealed, not also '" + args.word() + "'");
            path = args.word();
            continue;
        }
        if (args.word() == "-h" || args.word() == "--help") {
            fputs(HELP, stdout);
            return EXIT_OK;
        }
        return usage_error(COMMAND, "unknown option '" + args.word() + "'");
    }
    if (path.empty())
        return usage_error(COMMAND, "no file given");

    Bytes file;
    std::string error;
    if (!read_whole_file(path, file, error)) {
        report_error(COMMAND, error);
        return EXIT_FAILED;
    }
    if (!datafile_kit::reseal(file)) {
        report_error(COMMAND, path + ": its header leaves no room for the file CRC inside the file");
        return EXIT_FAILED;
    }
    if (!write_whole_file(path, file, error)) {
        report_error(COMMAND, error);
        return EXIT_FAILED;
    }
    return EXIT_OK;
}
