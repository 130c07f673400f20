// SPDX-License-Identifier: GPL-3.0-or-later
// The table of the boards' current and image revisions shown before flashing.
#pragma once

#include "app/records.h"

RETURN_CODE display_information(DAT_FILE_INFO *info, RETURN_CODE code);

void display_constructor();
void display_destructor();
