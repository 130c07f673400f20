// SPDX-License-Identifier: GPL-3.0-or-later
// The data handler: owns the image-header array read from the data file. It
// validates the file header, has the whole-file CRC checked, and binds every
// board found during discovery to the first image of its device type.
#include "datafile/datahandler.h"

#include <cstdlib>
#include <cstring>

#include "datafile/file_handler.h"
#include "flash/discovery.h"
#include "output/print.h"

namespace {

IMAGE_HDR *img_hdr_array_ptr = nullptr;

constexpr char MSG_FAILED_LOADING[] = "\r   Failed loading Data file \n";
constexpr char MSG_NOT_RECOGNIZED[] = "\r   Data file not recognized \n";
constexpr char MSG_VERSION_NOT_SUPPORTED[] = "\r   Data file version not supported \n";
constexpr char MSG_OUT_OF_MEMORY[] = "   Out of Memory \n";

// Bit 7 of a major revision is the board's own report that it runs from its
// boot block; an image that carries it could never be told apart from a
// failed flash, so no board is ever bound to one.
bool carries_boot_block_bit(const IMAGE_HDR &image)
{
    return (image.rev_major & BOOT_BLOCK_BIT) != 0;
}

RETURN_CODE verify_key(const DAT_FILE_HDR *header)
{
    // Nine characters: the zero after the eight letters must match as well.
    if (strncmp(header->signature, DATA_FILE_SIGNATURE, DATA_FILE_SIGNATURE_SIZE) == 0)
        return RC_SUCCESS;
    clear_line();
    display_redirection(PRT_ERROR, MSG_NOT_RECOGNIZED);
    return RC_DATA_FILE_NOT_RECOGNIZED;
}

RETURN_CODE proc_dat_file_info(DAT_FILE_INFO *info)
{
    // No seek: the load has left the cursor at the start of the file.
    RETURN_CODE code = get_dat_file_hdr(&info->header);
    if (code != RC_SUCCESS) {
        clear_line();
        display_redirection(PRT_ERROR, MSG_FAILED_LOADING);
        return code;
    }
    // The signature comes first, so a foreign file is never called a wrong version.
    code = verify_key(&info->header);
    if (code == RC_SUCCESS && info->header.version != DATA_FILE_VERSION) {
        clear_line();
        display_redirection(PRT_ERROR, MSG_VERSION_NOT_SUPPORTED);
        return RC_VERSION_NOT_SUPPORTED;
    }
    return code;
}

RETURN_CODE free_image_hdr(const IMAGE_HDR *block)
{
    if (block != img_hdr_array_ptr)
        return RC_FAILED;
    free(img_hdr_array_ptr);
    img_hdr_array_ptr = nullptr;
    return RC_SUCCESS;
}

RETURN_CODE get_image_hdr(IMAGE_HDR **out, uint8_t count)
{
    // A repeated read replaces the earlier array instead of losing it.
    free_image_hdr(img_hdr_array_ptr);

    const uint32_t array_size = static_cast<uint32_t>(count) * sizeof(IMAGE_HDR);
    // At least one record's room: for a count of 0, malloc(0) could answer
    // null and turn an empty header list into an allocation failure; the
    // zero-byte read below reports it as the bad read it is.
    img_hdr_array_ptr = static_cast<IMAGE_HDR *>(malloc(count > 0 ? array_size : sizeof(IMAGE_HDR)));
    if (img_hdr_array_ptr == nullptr) {
        clear_line();
        display_redirection(PRT_ERROR, MSG_OUT_OF_MEMORY);
        return RC_OUT_OF_MEMORY;
    }
    RETURN_CODE code = seek_data_file(IMAGE_HEADERS_OFFSET);
    if (code != RC_SUCCESS)
        return code;
    code = read_data_file_chunk(reinterpret_cast<uint8_t *>(img_hdr_array_ptr), array_size);
    *out = img_hdr_array_ptr;
    return code;
}

RETURN_CODE process_devices(DAT_FILE_INFO *info)
{
    const uint8_t count = info->header.image_count;
    DEVICES_INFO *devices = info->devices;

    IMAGE_HDR *images = nullptr;
    RETURN_CODE code = get_image_hdr(&images, count);
    if (code != RC_SUCCESS)
        return code;
    info->images = images;

    if (devices == nullptr)
        return RC_SUCCESS;
    for (uint16_t row = 0; row < const_glob_devices_count; row++) {
        DEVICES_INFO &device = devices[row];
        if (device.status != DS_FOUND)
            continue;
        const IMAGE_HDR *match = nullptr;
        // File order: the first image of the board's type wins.
        for (uint16_t index = 0; index < count && match == nullptr; index++) {
            if (images[index].device_type == device.device_type)
                match = &images[index];
        }
        if (match == nullptr)
            return RC_BAD_DATA;
        if (carries_boot_block_bit(*match)) {
            clear_line();
            display_redirection(PRT_ERROR, MSG_FAILED_LOADING);
            return RC_BAD_DATA;
        }
        device.image = match;
        device.status = DS_IMAGE_MATCHED;
    }
    return RC_SUCCESS;
}

}  // namespace

RETURN_CODE data_file_handler(DAT_FILE_INFO *info)
{
    RETURN_CODE code = proc_dat_file_info(info);
    if (code == RC_SUCCESS)
        code = check_datfile_crc(info->header.file_length);
    if (code == RC_SUCCESS)
        code = process_devices(info);
    return code;
}

RETURN_CODE get_dat_file_hdr(DAT_FILE_HDR *header)
{
    return read_data_file_chunk(reinterpret_cast<uint8_t *>(header), sizeof(DAT_FILE_HDR));
}

void datahandler_constructor() {}

void datahandler_destructor()
{
    free_image_hdr(img_hdr_array_ptr);
}
