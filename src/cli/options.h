// SPDX-License-Identifier: GPL-3.0-or-later
// Option translation: turns the parsed command line into the settings of the
// other modules, answers version and help requests, rejects bad words.
#pragma once

#include <cstdint>

#include "app/records.h"

RETURN_CODE translate_options(int argc, char **argv, uint8_t *loop_flag, DAT_FILE_INFO *info);

void options_contructor();
void options_destructor();
