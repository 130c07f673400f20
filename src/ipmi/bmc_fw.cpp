// Placeholder until this module is built.
#include "ipmi/bmc_fw.h"
RETURN_CODE enable_ipmb_channel() { return RC_SUCCESS; }
RETURN_CODE check_device(DEVICES_INFO *) { return RC_FAILED; }
RETURN_CODE disable_power_button() { return RC_FAILED; }
RETURN_CODE restore_power_button_status() { return RC_SUCCESS; }
RETURN_CODE get_system_id(unsigned short *system_id) { *system_id = 0; return RC_SUCCESS; }
RETURN_CODE set_system_id(unsigned short) { return RC_SUCCESS; }
void bmc_fw_constructor() {}
void bmc_fw_destructor() {}
