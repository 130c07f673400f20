// SPDX-License-Identifier: GPL-3.0-or-later
// The one escaping of outside text for messages: the program's echoed words
// and paths, and the management backends' echoed configuration and files.
#include "output/escape.h"

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// An escaped byte takes four characters: \xHH.
constexpr size_t ESCAPED_BYTE_WIDTH = 4;
constexpr unsigned char FIRST_PRINTABLE = 0x20;
constexpr unsigned char DELETE = 0x7F;

// Length of the well-formed UTF-8 sequence at `text` that may be shown as
// it is, or 0 when its first byte must be escaped: control characters
// (C0, DEL and C1), stray or overlong bytes, surrogates, beyond U+10FFFF.
size_t showable_sequence(const unsigned char *text)
{
    const unsigned char lead = text[0];
    if (lead < FIRST_PRINTABLE || lead == DELETE)
        return 0;
    if (lead < 0x80)
        return 1;
    size_t length;
    unsigned char low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        if (lead == 0xC2)
            low = 0xA0;  // U+0080 to U+009F are the C1 controls
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0)
            low = 0xA0;
        else if (lead == 0xED)
            high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0)
            low = 0x90;
        else if (lead == 0xF4)
            high = 0x8F;
    } else {
        return 0;
    }
    if (text[1] < low || text[1] > high)
        return 0;
    for (size_t index = 2; index < length; index++) {
        if (text[index] < 0x80 || text[index] > 0xBF)
            return 0;
    }
    return length;
}

}  // namespace

char *escaped_word(const char *word)
{
    const size_t length = strlen(word);
    char *shown = static_cast<char *>(malloc(length * ESCAPED_BYTE_WIDTH + 1));
    if (shown == nullptr)
        return nullptr;
    const auto *bytes = reinterpret_cast<const unsigned char *>(word);
    size_t used = 0;
    for (size_t index = 0; index < length;) {
        size_t sequence = showable_sequence(bytes + index);
        if (sequence == 0) {
            snprintf(shown + used, ESCAPED_BYTE_WIDTH + 1, "\\x%02x", bytes[index]);
            used += ESCAPED_BYTE_WIDTH;
            index++;
        } else {
            memcpy(shown + used, word + index, sequence);
            used += sequence;
            index += sequence;
        }
    }
    shown[used] = '\0';
    return shown;
}
