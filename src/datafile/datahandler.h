// SPDX-License-Identifier: GPL-3.0-or-later
// The data-handler stage: header, signature and version checks, the image
// header array, and the binding of every board found to its image.
#pragma once

#include "app/records.h"

RETURN_CODE data_file_handler(DAT_FILE_INFO *info);
RETURN_CODE get_dat_file_hdr(DAT_FILE_HDR *header);

void datahandler_constructor();
void datahandler_destructor();
