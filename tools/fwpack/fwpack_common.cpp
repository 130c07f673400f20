// SPDX-License-Identifier: GPL-3.0-or-later
// Shared helpers of fwpack's commands: file I/O, parsing and the option scanner.
#include "fwpack_common.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr uint8_t REVISION_MAJOR_LIMIT = 0x7F;  // bit 7 of the major byte marks a boot block
constexpr size_t REVISION_MINOR_DIGITS = 2;
constexpr size_t REVISION_MAJOR_DIGITS = 3;

bool is_hex_digit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return c - 'A' + 10;
}

}  // namespace

void report_error(const char *command, const std::string &message)
{
    if (command != nullptr)
        fprintf(stderr, "fwpack %s: %s\n", command, message.c_str());
    else
        fprintf(stderr, "fwpack: %s\n", message.c_str());
}

int usage_error(const char *command, const std::string &message)
{
    report_error(command, message);
    if (command != nullptr)
        fprintf(stderr, "Try 'fwpack %s --help'.\n", command);
    else
        fprintf(stderr, "Try 'fwpack --help'.\n");
    return EXIT_USAGE;
}

bool read_whole_file(const std::string &path, Bytes &content, std::string &error)
{
    FILE *stream = fopen(path.c_str(), "rb");
    if (stream == nullptr) {
        error = "cannot open " + path + ": " + strerror(errno);
        return false;
    }
    content.clear();
    uint8_t block[65536];
    size_t count;
    while ((count = fread(block, 1, sizeof block, stream)) > 0)
        content.insert(content.end(), block, block + count);
    bool failed = ferror(stream) != 0;
    int saved_errno = errno;
    fclose(stream);
    if (failed) {
        error = "cannot read " + path + ": " + strerror(saved_errno);
        return false;
    }
    return true;
}

bool write_whole_file(const std::string &path, const Bytes &content, std::string &error)
{
    FILE *stream = fopen(path.c_str(), "wb");
    if (stream == nullptr) {
        error = "cannot create " + path + ": " + strerror(errno);
        return false;
    }
    bool written = content.empty() || fwrite(content.data(), 1, content.size(), stream) == content.size();
    int saved_errno = errno;
    if (fclose(stream) != 0 && written) {
        written = false;
        saved_errno = errno;
    }
    if (!written) {
        error = "cannot write " + path + ": " + strerror(saved_errno);
        return false;
    }
    return true;
}

bool parse_unsigned(const std::string &text, uint64_t limit, uint64_t &value)
{
    size_t position = 0;
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        position = 2;
    }
    if (position >= text.size())
        return false;
    uint64_t result = 0;
    for (; position < text.size(); position++) {
        char c = text[position];
        int digit;
        if (base == 16 && is_hex_digit(c))
            digit = hex_value(c);
        else if (c >= '0' && c <= '9')
            digit = c - '0';
        else
            return false;
        result = result * base + digit;
        if (result > limit)
            return false;
    }
    value = result;
    return true;
}

bool parse_revision(const std::string &text, uint8_t &major, uint8_t &minor)
{
    size_t dot = text.find('.');
    if (dot == std::string::npos || dot == 0 || dot > REVISION_MAJOR_DIGITS)
        return false;
    if (text.size() - dot - 1 != REVISION_MINOR_DIGITS)
        return false;
    uint64_t major_value = 0;
    for (size_t index = 0; index < dot; index++) {
        if (text[index] < '0' || text[index] > '9')
            return false;
        major_value = major_value * 10 + (text[index] - '0');
    }
    if (major_value > REVISION_MAJOR_LIMIT)
        return false;
    const char high = text[dot + 1];
    const char low = text[dot + 2];
    if (!is_hex_digit(high) || !is_hex_digit(low))
        return false;
    major = static_cast<uint8_t>(major_value);
    minor = static_cast<uint8_t>(hex_value(high) * 16 + hex_value(low));
    return true;
}

std::string format_revision(uint8_t major, uint8_t minor)
{
    char text[16];
    snprintf(text, sizeof text, "%d.%02x", major, minor);
    return text;
}

std::string hex16(uint16_t value)
{
    char text[8];
    snprintf(text, sizeof text, "0x%04x", value);
    return text;
}

ArgKind ArgScanner::next()
{
    has_inline_ = false;
    inline_value_.clear();
    while (index_ < argc_) {
        word_ = argv_[index_++];
        if (options_ended_ || word_.size() < 2 || word_[0] != '-')
            return ArgKind::operand;
        if (word_ == "--") {
            options_ended_ = true;
            continue;
        }
        size_t equals = word_.find('=');
        if (word_.rfind("--", 0) == 0 && equals != std::string::npos) {
            inline_value_ = word_.substr(equals + 1);
            word_.resize(equals);
            has_inline_ = true;
        }
        return ArgKind::option;
    }
    return ArgKind::end;
}

bool ArgScanner::take_value(std::string &value)
{
    if (has_inline_) {
        value = inline_value_;
        return true;
    }
    if (index_ >= argc_)
        return false;
    value = argv_[index_++];
    return true;
}
