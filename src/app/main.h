// Program control: module start-up and shut-down in their fixed order, and
// the version banner.
#pragma once

constexpr char VELMORAN_VERSION[] = "1.09";

void main_constructor();
void main_destructor();
void display_flash_rev();
