// SPDX-License-Identifier: GPL-3.0-or-later
// fwpack: makes simulated firmware images, packs images into data files and
// inspects data files. This file picks the subcommand.
#include <cstdio>
#include <cstring>
#include <string>

#include "fwpack_commands.h"
#include "fwpack_common.h"
#include "velmoran_version.h"

namespace {

constexpr char USAGE[] = "Usage: fwpack <command> [options]\n"
                         "\n"
                         "Makes, packs and checks firmware data files.\n"
                         "\n"
                         "Commands:\n"
                         "  build   pack firmware images into a data file\n"
                         "  image   make a simulated firmware image\n"
                         "  reseal  write a data file's CRC again after a change by hand\n"
                         "  show    describe a data file and check it\n"
                         "  sign    add a signature of a data file to its catalog FILE.jcat\n"
                         "  verify  check a data file's signatures against trusted keys\n"
                         "\n"
                         "Run 'fwpack <command> --help' for the options of a command,\n"
                         "'fwpack --version' for the version.\n"
                         "Exit status: 0 success, 1 refused input or failed check, 2 usage error.\n";

struct Command {
    const char *name;
    int (*run)(int argc, char **argv);
};

constexpr Command COMMANDS[] = {
    {"build", run_build},
    {"image", run_image},
    {"reseal", run_reseal},
    {"show", run_show},
    {"sign", run_sign},
    {"verify", run_verify},
};

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2)
        return usage_error(nullptr, "no command given");
    const std::string command = argv[1];
    if (command == "--help" || command == "-h" || command == "help") {
        fputs(USAGE, stdout);
        return EXIT_OK;
    }
    if (command == "--version") {
        printf("fwpack %s\n", VELMORAN_VERSION);
        return EXIT_OK;
    }
    for (const Command &entry : COMMANDS) {
        if (command == entry.name)
            return entry.run(argc - 2, argv + 2);
    }
    return usage_error(nullptr, "unknown command '" + command + "'");
}
