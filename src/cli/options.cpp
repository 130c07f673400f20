// Placeholder until this module is built.
#include "cli/options.h"
RETURN_CODE translate_options(int, char **, uint8_t *, DAT_FILE_INFO *) { return RC_SUCCESS; }
void options_contructor() {}
void options_destructor() {}
