// Placeholder until this module is built.
#include "ipmi/driver.h"
void driver_constructor() {}
RETURN_CODE load_driver() { return RC_SUCCESS; }
void driver_hapi_stop() {}
void driver_hapi_start() {}
void driver_destructor() {}
HAPI_IPMI_ENTRY get_hapi_ipmi_entry() { return nullptr; }
HAPI_HOST_INFO_ENTRY get_hapi_host_info_entry() { return nullptr; }
