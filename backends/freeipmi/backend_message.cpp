// SPDX-License-Identifier: GPL-3.0-or-later
// Owns how the backend speaks: every message is formatted whole, escaped as
// the program escapes what it echoes, and written with its prefix at once.
#include "backend_message.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "output/escape.h"

namespace {

constexpr char MESSAGE_PREFIX[] = "velmoran-freeipmi";
constexpr size_t MESSAGE_SIZE = 1024;

}  // namespace

// NOLINTNEXTLINE(cert-dcl50-cpp): printf-style, as the messages it formats
void backend_message(const char *format, ...)
{
    char text[MESSAGE_SIZE];
    va_list arguments;
    va_start(arguments, format);
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): va_start above; the analyzer misses GCC's builtin
    vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    char *shown = escaped_word(text);
    // Without memory for the escaped copy the text stays unshown rather than raw.
    fprintf(stderr, "%s: %s\n", MESSAGE_PREFIX, shown != nullptr ? shown : "out of memory");
    fflush(stderr);
    free(shown);
}
