// SPDX-License-Identifier: GPL-3.0-or-later
// The backend's one road to the console: a line on standard error, named
// after the backend, with whatever came from outside escaped.
#pragma once

// Formats one message and prints it as "velmoran-freeipmi: MESSAGE". Control
// bytes and bytes that are not valid UTF-8 (from the configuration, a lock
// file, the BMC's library) are shown as \xHH, never written raw.
void backend_message(const char *format, ...) __attribute__((format(printf, 1, 2)));
