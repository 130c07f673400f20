// SPDX-License-Identifier: GPL-3.0-or-later
// Program control: module start-up and shut-down in their fixed order, and
// the version banner.
#pragma once

#include "velmoran_version.h"

void main_constructor();
void main_destructor();
void display_flash_rev();
