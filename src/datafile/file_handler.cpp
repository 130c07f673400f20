// Placeholder until this module is built.
#include "datafile/file_handler.h"
RETURN_CODE load_data_file(const char *) { return RC_SUCCESS; }
RETURN_CODE seek_data_file(uint32_t) { return RC_FAILED; }
RETURN_CODE read_one_byte_from_data_file(uint8_t *) { return RC_OUT_OF_MEMORY; }
RETURN_CODE read_data_file_chunk(uint8_t *, const uint32_t) { return RC_FILE_NOT_FOUND; }
RETURN_CODE check_datfile_segment_crc(const uint32_t, const uint32_t, const uint16_t) { return RC_SUCCESS; }
RETURN_CODE check_datfile_crc(const uint32_t) { return RC_SUCCESS; }
int file_handler_constructor() { return 0; }
int file_handler_destructor() { return 0; }
