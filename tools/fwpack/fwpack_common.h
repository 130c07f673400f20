// SPDX-License-Identifier: GPL-3.0-or-later
// What fwpack's commands share: whole-file reading and writing, number and
// revision parsing, the option scanner, and error reporting on stderr.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "datafile_kit.h"

using datafile_kit::Bytes;

constexpr int EXIT_OK = 0;
constexpr int EXIT_FAILED = 1;  // refused input, failed check or I/O error
constexpr int EXIT_USAGE = 2;   // the command line itself is wrong

// Prints "fwpack <command>: <message>" on stderr.
void report_error(const char *command, const std::string &message);
// A usage error: the message and a pointer to the command's --help.
int usage_error(const char *command, const std::string &message);

bool read_whole_file(const std::string &path, Bytes &content, std::string &error);
bool write_whole_file(const std::string &path, const Bytes &content, std::string &error);

// Decimal or 0x-prefixed hexadecimal, no sign, at most `limit`.
bool parse_unsigned(const std::string &text, uint64_t limit, uint64_t &value);
// "M.mm": major in decimal (0-127), minor as exactly two hexadecimal digits,
// the way the program shows a revision with "%d.%02x".
bool parse_revision(const std::string &text, uint8_t &major, uint8_t &minor);
std::string format_revision(uint8_t major, uint8_t minor);
std::string hex16(uint16_t value);

// Walks a command's arguments: options as "--name VALUE", "--name=VALUE" or
// "-o VALUE", everything else (and everything after "--") as operands.
enum class ArgKind {
    option,
    operand,
    end
};

class ArgScanner {
public:
    ArgScanner(int argc, char **argv) : argc_(argc), argv_(argv) {}

    // Takes the next word; an option's name or an operand is then in word().
    ArgKind next();
    const std::string &word() const { return word_; }
    // The value of the option just taken, inline or the next word; false when
    // there is none.
    bool take_value(std::string &value);
    // True when the option just taken carried "=VALUE".
    bool has_inline_value() const { return has_inline_; }

private:
    int argc_;
    char **argv_;
    int index_ = 0;
    std::string word_;
    std::string inline_value_;
    bool has_inline_ = false;
    bool options_ended_ = false;
};
