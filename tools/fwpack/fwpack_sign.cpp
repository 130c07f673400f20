// SPDX-License-Identifier: GPL-3.0-or-later
// fwpack sign and fwpack verify: a data file's signature catalog FILE.jcat,
// made with a maker's key and checked against a folder of trusted keys, as
// the program checks it before it unlocks a board.
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "fwpack_catalog.h"
#include "fwpack_commands.h"
#include "fwpack_common.h"

namespace {

constexpr const char *SIGN = "sign";
constexpr const char *VERIFY = "verify";
constexpr char ED25519_SUFFIX[] = ".ed25519";

constexpr char SIGN_HELP[] =
    "Usage: fwpack sign [--kind pkcs7|ed25519] FILE CERT KEY\n"
    "\n"
    "Adds a signature of FILE to its catalog FILE.jcat (made when absent), under\n"
    "FILE's base name. PKCS#7: CERT is the signer's X.509 certificate and KEY its\n"
    "private key, both PEM; the certificate goes into the signature. Ed25519: CERT\n"
    "is the 32-byte public key and KEY the 32-byte secret key. Without --kind, a\n"
    "CERT whose name ends in .ed25519 means Ed25519, any other PKCS#7.\n"
    "\n"
    "Options:\n"
    "  --kind KIND  pkcs7 or ed25519\n"
    "  -h, --help   show this help\n";

constexpr char VERIFY_HELP[] =
    "Usage: fwpack verify [--pki DIR] FILE\n"
    "\n"
    "Checks FILE against its catalog FILE.jcat: at least one signature must be\n"
    "verified by a key or certificate in DIR (default /etc/velmoran/pki). Prints\n"
    "one line per signature, naming the trusted file that verifies it.\n"
    "\n"
    "Options:\n"
    "  --pki DIR   the trusted keys and certificates\n"
    "  -h, --help  show this help\n";

std::string iso_time(long long seconds)
{
    if (seconds <= 0)
        return "no time";
    const time_t when = static_cast<time_t>(seconds);
    struct tm parts {};
    gmtime_r(&when, &parts);
    char text[32];
    strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

}  // namespace

int run_sign(int argc, char **argv)
{
    std::string kind;
    std::vector<std::string> operands;
    ArgScanner args(argc, argv);
    for (ArgKind arg = args.next(); arg != ArgKind::end; arg = args.next()) {
        if (arg == ArgKind::operand) {
            operands.push_back(args.word());
            continue;
        }
        const std::string option = args.word();
        if (option == "-h" || option == "--help") {
            fputs(SIGN_HELP, stdout);
            return EXIT_OK;
        }
        if (option != "--kind")
            return usage_error(SIGN, "unknown option '" + option + "'");
        if (!args.take_value(kind))
            return usage_error(SIGN, "--kind needs pkcs7 or ed25519");
        if (kind != "pkcs7" && kind != "ed25519")
            return usage_error(SIGN, "unknown kind '" + kind + "': pkcs7 or ed25519");
    }
    if (operands.size() != 3)
        return usage_error(SIGN, "needs FILE CERT KEY");
    const std::string &cert = operands[1];
    if (kind.empty()) {
        const size_t suffix = sizeof ED25519_SUFFIX - 1;
        const bool ed25519 = cert.size() > suffix && cert.compare(cert.size() - suffix, suffix, ED25519_SUFFIX) == 0;
        kind = ed25519 ? "ed25519" : "pkcs7";
    }
    std::string error;
    if (!sign_data_file(operands[0], kind, cert, operands[2], error)) {
        report_error(SIGN, error);
        return EXIT_FAILED;
    }
    return EXIT_OK;
}

int run_verify(int argc, char **argv)
{
    std::string trust_store = DEFAULT_TRUST_STORE;
    std::string path;
    ArgScanner args(argc, argv);
    for (ArgKind arg = args.next(); arg != ArgKind::end; arg = args.next()) {
        if (arg == ArgKind::operand) {
            if (!path.empty())
                return usage_error(VERIFY, "only one file can be verified, not also '" + args.word() + "'");
            path = args.word();
            continue;
        }
        const std::string option = args.word();
        if (option == "-h" || option == "--help") {
            fputs(VERIFY_HELP, stdout);
            return EXIT_OK;
        }
        if (option != "--pki")
            return usage_error(VERIFY, "unknown option '" + option + "'");
        if (!args.take_value(trust_store))
            return usage_error(VERIFY, "--pki needs a folder");
    }
    if (path.empty())
        return usage_error(VERIFY, "no file given");

    Bytes data;
    std::string error;
    std::vector<Signer> signers;
    bool absent = false;
    if (!read_whole_file(path, data, error) || !read_signers(path, data, trust_store, signers, absent, error)) {
        report_error(VERIFY, error);
        return EXIT_FAILED;
    }
    bool trusted = false;
    for (const Signer &signer : signers) {
        std::string line = path + ": " + signer.kind + " signature of " + iso_time(signer.timestamp) + ", ";
        if (signer.trusted_by.empty()) {
            line += "not verified by " + trust_store;
        } else {
            line += "verified by " + signer.trusted_by;
            if (!signer.authority.empty())
                line += " (" + signer.authority + ")";
            trusted = true;
        }
        printf("%s\n", line.c_str());
    }
    fflush(stdout);
    if (!trusted) {
        report_error(VERIFY, path + ": no signature is verified by a key or certificate in " + trust_store);
        return EXIT_FAILED;
    }
    return EXIT_OK;
}
