// SPDX-License-Identifier: GPL-3.0-or-later
// Program control: module start-up and shut-down in their fixed order, and
// the version banner.
#pragma once

#include "velmoran_version.h"

// The whole run, from the command line to the exit status.
int velmoran_main(int argc, char **argv);
void main_constructor();
void main_destructor();
void display_flash_rev();
