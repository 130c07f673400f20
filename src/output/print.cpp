// Placeholder until this module is built.
#include "output/print.h"
RETURN_CODE display_redirection(const PRT_OPTIONS, const char *) { return RC_NOT_DISPLAYED; }
RETURN_CODE clear_line() { return RC_NOT_DISPLAYED; }
RETURN_CODE prompt_user(const PRT_OPTIONS, const char *) { return RC_SUCCESS; }
void set_display_state(const DISPLAY_STATE) {}
DISPLAY_STATE get_display_state() { return DISPLAY_NORMAL; }
RETURN_CODE set_log_file(char *, int, char **) { return RC_SUCCESS; }
void close_log_file() {}
void log_last_driver_error(uint32_t, uint8_t, uint32_t) {}
void log_last_exec_cmd_error(const IPMI_DRIVER_STRUCT *) {}
void log_exec_cmd_retry() {}
void print_constructor() {}
void print_destructor() {}
