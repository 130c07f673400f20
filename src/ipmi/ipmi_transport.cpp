// Placeholder until this module is built.
#include "ipmi/ipmi_transport.h"
RETURN_CODE exec_command(unsigned char, unsigned char, unsigned char, IPMI_DRIVER_STRUCT *) { return RC_FAILED; }
RETURN_CODE hapi_exec_command(unsigned char, unsigned char, unsigned char, IPMI_DRIVER_STRUCT *) { return RC_FAILED; }
void DelayMS(unsigned int) {}
