// Placeholder until this module is built.
#include "cli/optionm.h"
const OPTION_ENTRY_TYPE CONST_OPTION_ENTRY_ARRAY[OPTION_TABLE_ROWS] = {};
const HELP_ENTRY_TYPE CONST_HELP_ENTRY_ARRAY[HELP_TABLE_ROWS] = {};
OPTION_RETURN_CODE_TYPE options_parse(int, char **, OPTION_STRUCTURE_TYPE *, char *) { return OPTION_VALID; }
const char *option_return_code_str(OPTION_RETURN_CODE_TYPE) { return ""; }
void option_help_show(int) {}
void help_show(int, const HELP_ENTRY_TYPE *, const OPTION_ENTRY_TYPE *) {}
void optionm_contructor() {}
void optionm_destructor() {}
