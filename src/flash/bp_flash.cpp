// Placeholder until this module is built.
#include "flash/bp_flash.h"
RETURN_CODE flash_bp_fw(DAT_FILE_INFO *, DEVICES_INFO *) { return RC_FLASH_FAILED; }
void bp_flash_constructor() {}
void bp_flash_destructor() {}
