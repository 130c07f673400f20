// SPDX-License-Identifier: GPL-3.0-or-later
// The trust check: the signature policy and trust store under /etc/velmoran,
// and the verdict on the loaded data file's signature catalog.
#pragma once

#include "app/records.h"

// Run once the data file has passed its own checks and before a board is
// unlocked; the data file must be the one loaded by the file handler.
RETURN_CODE check_data_file_trust(const char *data_file_name);
