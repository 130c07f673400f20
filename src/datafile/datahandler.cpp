// Placeholder until this module is built.
#include "datafile/datahandler.h"
RETURN_CODE data_file_handler(DAT_FILE_INFO *) { return RC_SUCCESS; }
RETURN_CODE get_dat_file_hdr(DAT_FILE_HDR *) { return RC_SUCCESS; }
void datahandler_constructor() {}
void datahandler_destructor() {}
