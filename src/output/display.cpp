// Placeholder until this module is built.
#include "output/display.h"
RETURN_CODE display_information(DAT_FILE_INFO *, RETURN_CODE code) { return code; }
void display_constructor() {}
void display_destructor() {}
