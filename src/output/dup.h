// SPDX-License-Identifier: GPL-3.0-or-later
// The XML documents: the inventory and the execution result, printed once at
// the end of a run from the final result code and the device table.
#pragma once

#include <cstdint>

#include "app/records.h"

enum XML_DISPLAY_OPTION : uint8_t {
    XML_NONE = 0,
    XML_INVENTORY = 1,
    XML_RESULT = 2,
};

RETURN_CODE process_xml(RETURN_CODE code, const DAT_FILE_INFO *info);
void set_xml_display(XML_DISPLAY_OPTION option);
XML_DISPLAY_OPTION get_xml_display();

void dup_constructor();
void dup_destructor();
