// Placeholder until this module is built.
#include "flash/device_handler.h"
void set_flash_mode(FLASH_MODE) {}
FLASH_MODE get_flash_mode() { return FLASH_NORMAL; }
void check_images_revision(const DAT_FILE_INFO *) {}
void device_handler_constructor() {}
void device_handler_destructor() {}
