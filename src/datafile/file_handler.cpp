// SPDX-License-Identifier: GPL-3.0-or-later
// The file handler: owns the heap buffer that holds the whole data file, its
// data length and the one read cursor that every reader shares, and runs the
// whole-file and image CRC checks over that buffer.
#include "datafile/file_handler.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "datafile/datafile_format.h"
#include "datafile/proc_crc.h"
#include "output/print.h"

namespace {

uint8_t *file_buf = nullptr;
uint32_t curr_file_offset = 0;
uint32_t file_buf_max_data_count = 0;

constexpr uint8_t FAILED_READ_BYTE = 0xFF;
constexpr unsigned BITS_PER_BYTE = 8;

constexpr char MSG_CANNOT_FIND_FORMAT[] = "\r   Cannot find %s \n";
constexpr char MSG_OUT_OF_MEMORY[] = "\r   Out of Memory \n";
constexpr char MSG_LOADING[] = "\r   Loading file, please wait ";
constexpr char MSG_LOADING_FAILED[] = "\r   Loading file failed \n";
constexpr char MSG_LOADING_COMPLETED[] = "\r   Loading file completed ";
constexpr char MSG_READ_FAILS[] = "\r   Read Fails \n";
constexpr char MSG_BAD_READ[] = "\r   Bad read from file \n";
constexpr char MSG_IMAGE_CORRUPTION[] = "\r   Image corruption occured \n";
constexpr char MSG_CRC[] = "   CRC ";
constexpr char MSG_CRC_FAILED[] = "Failed \n";
constexpr char MSG_CRC_COMPLETE[] = "Complete \n";
constexpr char MSG_INTEGRITY_FAILED[] = "\r   Data Integrity check failed \n";

long filesize(FILE *stream)
{
    long position = ftell(stream);
    fseek(stream, 0, SEEK_END);
    long size = ftell(stream);
    fseek(stream, position, SEEK_SET);
    return size;
}

void filehdlr_set_default()
{
    curr_file_offset = 0;
    file_buf_max_data_count = 0;
}

void release_buffer()
{
    free(file_buf);
    file_buf = nullptr;
}

RETURN_CODE get_datfile_segment_crc(const uint32_t start, const uint32_t count, uint16_t *crc)
{
    RETURN_CODE code = seek_data_file(start);
    *crc = 0;
    uint16_t running = 0;
    if (count == 0)
        code = RC_FAILED;
    // Every byte goes through the bounded byte read, so a count that wrapped
    // below zero ends at the end of the buffer instead of beyond it.
    for (uint32_t done = 0; code == RC_SUCCESS && done < count; done++) {
        uint8_t byte;
        code = read_one_byte_from_data_file(&byte);
        if (code == RC_SUCCESS)
            running = process_CRC(byte, running);
    }
    if (code == RC_SUCCESS)
        *crc = running;
    return code;
}

}  // namespace

RETURN_CODE load_data_file(const char *path)
{
    // A second load replaces the first file; nothing else holds the old buffer.
    release_buffer();
    filehdlr_set_default();

    // Never blocks: a FIFO opens at once and is then refused as what it is.
    int descriptor = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    FILE *stream = descriptor >= 0 ? fdopen(descriptor, "rb") : nullptr;
    if (stream == nullptr) {
        if (descriptor >= 0)
            close(descriptor);
        // The message carries the whole path, however long, escaped.
        char *shown = escaped_word(path);
        if (shown != nullptr) {
            size_t size = sizeof MSG_CANNOT_FIND_FORMAT + strlen(shown);
            char *text = static_cast<char *>(malloc(size));
            if (text != nullptr) {
                snprintf(text, size, MSG_CANNOT_FIND_FORMAT, shown);
                display_redirection(PRT_INFO, text);
                free(text);
            }
            free(shown);
        }
        return RC_FILE_NOT_FOUND;
    }

    // Only a regular file of a size a pack can have is read at all: a device
    // or a FIFO could feed data without end, and a huge file would be read
    // whole before its checks could refuse it.
    struct stat status {};
    if (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode) || status.st_size > DATA_FILE_SIZE_LIMIT) {
        fclose(stream);
        display_redirection(PRT_ERROR, MSG_LOADING_FAILED);
        return RC_FAILED;
    }

    long size = filesize(stream);
    // A size the data length cannot carry (a failed measure, or 4 GiB and
    // more) would load only part of the file as if it were all of it.
    if (size < 0 || static_cast<unsigned long>(size) > UINT32_MAX) {
        fclose(stream);
        display_redirection(PRT_ERROR, MSG_LOADING_FAILED);
        return RC_FAILED;
    }
    file_buf_max_data_count = static_cast<uint32_t>(size);
    // An empty file is still a loaded file: ask for at least one byte so that
    // a zero-size allocation cannot pass for a failure. Zeroed, so that what a
    // short read leaves unread is never stray heap contents, without touching
    // the pages of a size that a directory or special file merely claims.
    file_buf = static_cast<uint8_t *>(calloc(size > 0 ? static_cast<size_t>(size) : 1, 1));
    if (file_buf == nullptr) {
        fclose(stream);
        display_redirection(PRT_ERROR, MSG_OUT_OF_MEMORY);
        return RC_OUT_OF_MEMORY;
    }

    display_redirection(PRT_INFO, MSG_LOADING);
    size_t count = fread(file_buf, 1, file_buf_max_data_count, stream);
    clear_line();

    RETURN_CODE result;
    if (count != file_buf_max_data_count) {
        display_redirection(PRT_ERROR, MSG_LOADING_FAILED);
        result = RC_FAILED;
    } else {
        display_redirection(PRT_INFO, MSG_LOADING_COMPLETED);
        result = RC_SUCCESS;
    }
    fclose(stream);
    return result;
}

RETURN_CODE seek_data_file(uint32_t offset)
{
    if (offset >= file_buf_max_data_count)
        return RC_FAILED;
    curr_file_offset = offset;
    return RC_SUCCESS;
}

RETURN_CODE read_one_byte_from_data_file(uint8_t *byte)
{
    *byte = FAILED_READ_BYTE;
    if (file_buf == nullptr)
        return RC_OUT_OF_MEMORY;
    if (curr_file_offset >= file_buf_max_data_count)
        return RC_END_OF_DATA;
    *byte = file_buf[curr_file_offset];
    curr_file_offset++;
    return RC_SUCCESS;
}

RETURN_CODE read_data_file_chunk(uint8_t *data, const uint32_t size)
{
    if (file_buf == nullptr) {
        display_redirection(PRT_ERROR, MSG_READ_FAILS);
        return RC_FILE_NOT_FOUND;
    }
    if (data == nullptr) {
        display_redirection(PRT_ERROR, MSG_OUT_OF_MEMORY);
        return RC_OUT_OF_MEMORY;
    }
    // Starts as failed so that a chunk of zero bytes is a bad read too.
    RETURN_CODE outcome = RC_FAILED;
    for (uint32_t index = 0; index < size; index++) {
        outcome = read_one_byte_from_data_file(&data[index]);
        if (outcome != RC_SUCCESS)
            break;
    }
    if (outcome != RC_SUCCESS) {
        display_redirection(PRT_ERROR, MSG_BAD_READ);
        return RC_BAD_READ;
    }
    return RC_SUCCESS;
}

void data_file_contents(const uint8_t **data, uint32_t *size)
{
    *data = file_buf;
    *size = file_buf != nullptr ? file_buf_max_data_count : 0;
}

RETURN_CODE check_datfile_segment_crc(const uint32_t start, const uint32_t count, const uint16_t expected)
{
    uint16_t crc;
    if (get_datfile_segment_crc(start, count, &crc) != RC_SUCCESS || crc != expected) {
        display_redirection(PRT_ERROR, MSG_IMAGE_CORRUPTION);
        return RC_CRC_FAILED;
    }
    return RC_SUCCESS;
}

RETURN_CODE check_datfile_crc(const uint32_t length)
{
    display_redirection(PRT_INFO, MSG_CRC);

    // Unsigned on purpose: a length of 0 or 1 wraps to a count that the
    // bounded reads stop at the end of the buffer.
    uint16_t computed;
    RETURN_CODE code = get_datfile_segment_crc(0, length - DATA_FILE_CRC_SIZE, &computed);
    uint16_t stored = 0;
    if (code == RC_SUCCESS) {
        uint8_t stored_bytes[DATA_FILE_CRC_SIZE] = {};
        code = read_data_file_chunk(stored_bytes, DATA_FILE_CRC_SIZE);
        stored = static_cast<uint16_t>(stored_bytes[0] | (stored_bytes[1] << BITS_PER_BYTE));
    }
    if (code != RC_SUCCESS || stored != computed) {
        display_redirection(PRT_INFO, MSG_CRC_FAILED);
        display_redirection(PRT_ERROR, MSG_INTEGRITY_FAILED);
        return RC_CRC_FAILED;
    }
    display_redirection(PRT_INFO, MSG_CRC_COMPLETE);
    return RC_SUCCESS;
}

int file_handler_constructor()
{
    file_buf = nullptr;
    filehdlr_set_default();
    return 0;
}

int file_handler_destructor()
{
    release_buffer();
    filehdlr_set_default();
    return 0;
}
