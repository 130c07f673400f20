// SPDX-License-Identifier: GPL-3.0-or-later
// fwpack show: describes a data file field by field and checks everything
// the program checks before and during a flash, plus the bytes the file CRC
// leaves uncovered. Problems go to stderr; the exit status says if any.
#include <cstdio>
#include <string>
#include <vector>

#include "fwpack_catalog.h"
#include "fwpack_commands.h"
#include "fwpack_common.h"

namespace {

constexpr const char *COMMAND = "show";
constexpr uint8_t PRINTABLE_FIRST = 0x20;
constexpr uint8_t PRINTABLE_LAST = 0x7E;
// The signature's letters; the byte after them is its terminator.
const size_t SIGNATURE_CHARACTERS = datafile_kit::SIGNATURE_SIZE - 1;

constexpr char HELP[] = "Usage: fwpack show [--json [--pki DIR]] FILE\n"
                        "\n"
                        "Describes a data file: its header, one line per image (index, device type,\n"
                        "revision, length, data offset, image CRC) and the file CRC. Every problem\n"
                        "is reported on stderr and makes the exit status 1: a header the program\n"
                        "refuses, a wrong CRC, image data outside the file, an image no board could\n"
                        "take, or bytes after the file length that the file CRC does not cover.\n"
                        "With --json, the object also lists the signatures in FILE.jcat, each with\n"
                        "the key or certificate of DIR (default /etc/velmoran/pki) that verifies it.\n"
                        "\n"
                        "Options:\n"
                        "  --json      print the description as one JSON object\n"
                        "  --pki DIR   the trusted keys and certificates the signers are checked with\n"
                        "  -h, --help  show this help\n";

using datafile_kit::Check;
using datafile_kit::ImageCheck;

void print_header_and_images(const Check &report);

void print_text(const std::string &path, const Check &report)
{
    printf("%s: %zu bytes\n", path.c_str(), report.size);
    if (report.have_header)
        print_header_and_images(report);
    printf("%s\n", report.problems.empty() ? "valid" : "INVALID");
}

void print_header_and_images(const Check &report)
{
    const datafile_kit::FileHeader &header = report.header;
    printf("  version      %u\n", header.version);
    printf("  images       %u\n", header.image_count);
    printf("  file length  %u\n", header.file_length);
    printf("  signature    \"%s\"\n", datafile_kit::signature_text(header).c_str());
    for (size_t index = 0; index < report.images.size(); index++) {
        const ImageCheck &image = report.images[index];
        std::string crc_state;
        if (!image.data_inside)
            crc_state = "unchecked";
        else if (image.crc_ok)
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

std::string json_text_or_null(const std::string &text)
{
    return text.empty() ? "null" : json_string(text);
}

// The catalog beside the file: null when there is none.
void print_json_catalog(const std::string &path, const Bytes &file, const std::string &trust_store)
{
    std::vector<Signer> signers;
    bool absent = false;
    std::string error;
    const bool read = read_signers(path, file, trust_store, signers, absent, error);
    if (!read && absent) {
        printf(", \"catalog\": null");
        return;
    }
    printf(", \"catalog\": {\"file\": %s", json_string(path + CATALOG_SUFFIX).c_str());
    if (!read) {
        printf(", \"error\": %s}", json_string(error).c_str());
        return;
    }
    printf(", \"signers\": [");
    for (size_t index = 0; index < signers.size(); index++) {
        const Signer &signer = signers[index];
        printf("%s{\"kind\": %s, \"timestamp\": %lld, \"trusted_by\": %s, \"authority\": %s}",
               index == 0 ? "" : ", ", json_string(signer.kind).c_str(), signer.timestamp,
               json_text_or_null(signer.trusted_by).c_str(), json_text_or_null(signer.authority).c_str());
    }
    printf("]}");
}

void print_json(const std::string &path, const Check &report, const Bytes &file, const std::string &trust_store)
{
    printf("{\"file\": %s, \"size\": %zu", json_string(path).c_str(), report.size);
    if (report.have_header) {
        const datafile_kit::FileHeader &header = report.header;
        const std::string characters(reinterpret_cast<const char *>(header.signature), SIGNATURE_CHARACTERS);
        printf(", \"header\": {\"version\": %u, \"image_count\": %u, \"file_length\": %u, \"signature\": %s, "
               "\"signature_terminator\": %u}",
               header.version, header.image_count, header.file_length, json_string(characters).c_str(),
               header.signature[SIGNATURE_CHARACTERS]);
    } else {
        printf(", \"header\": null");
    }
    printf(", \"images\": [");
    for (size_t index = 0; index < report.images.size(); index++) {
        const ImageCheck &image = report.images[index];
        printf("%s{\"index\": %zu, \"device_type\": %u, \"revision\": %s, \"length\": %u, \"data_offset\": %u, "
               "\"crc\": %u, \"computed_crc\": ",
               index == 0 ? "" : ", ", index, image.header.device_type,
               json_string(format_revision(image.header.rev_major, image.header.rev_minor)).c_str(),
               image.header.image_length, image.header.data_offset, image.header.image_crc);
        if (image.data_inside)
            printf("%u", image.computed_crc);
        else
            printf("null");
        printf(", \"crc_ok\": %s, \"flashable\": %s}", json_bool(image.crc_ok), json_bool(image.flashable));
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
    printf("]");
    print_json_catalog(path, file, trust_store);
    printf(", \"ok\": %s}\n", json_bool(report.problems.empty()));
}

}  // namespace

int run_show(int argc, char **argv)
{
    bool json = false;
    std::string trust_store = DEFAULT_TRUST_STORE;
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
        const std::string &option = args.word();
        if (option == "-h" || option == "--help") {
            fputs(HELP, stdout);
            return EXIT_OK;
        } else if (option == "--json" && !args.has_inline_value()) {
            json = true;
        } else if (option == "--pki") {
            if (!args.take_value(trust_store))
                return usage_error(COMMAND, "--pki needs a folder");
        } else {
            return usage_error(COMMAND, "unknown option '" + option + "'");
        }
    }
    if (!have_path)
        return usage_error(COMMAND, "no file given");

    Bytes file;
    std::string error;
    if (!read_whole_file(path, file, error)) {
        if (json)
            printf("{\"file\": %s, \"error\": %s, \"ok\": false}\n", json_string(path).c_str(),
                   json_string(error).c_str());
        fflush(stdout);
        report_error(COMMAND, error);
        return EXIT_FAILED;
    }
    const Check report = datafile_kit::check(file);
    if (json)
        print_json(path, report, file, trust_store);
    else
        print_text(path, report);
    fflush(stdout);
    for (const std::string &problem : report.problems) {
        std::string line = path;
        line += ": ";
        line += problem;
        report_error(COMMAND, line);
    }
    return report.problems.empty() ? EXIT_OK : EXIT_FAILED;
}
