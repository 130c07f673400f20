// SPDX-License-Identifier: GPL-3.0-or-later
// Outside text as a message shows it: control bytes and bytes that are not
// valid UTF-8 written as \xHH, everything else as it is.
#pragma once

// A heap block the caller frees; null when out of memory.
char *escaped_word(const char *word);
