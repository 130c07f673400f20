// Placeholder until this module is built.
#include "output/dup.h"
RETURN_CODE process_xml(RETURN_CODE code, const DAT_FILE_INFO *) { return code; }
void set_xml_display(XML_DISPLAY_OPTION) {}
XML_DISPLAY_OPTION get_xml_display() { return XML_NONE; }
void dup_constructor() {}
void dup_destructor() {}
