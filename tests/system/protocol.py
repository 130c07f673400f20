# SPDX-License-Identifier: GPL-3.0-or-later
"""The protocol's and the data file's numbers, typed once here as the boards,
the BMC and the data file's documented layout have them, so that the system
tests check the program, the simulated platform and fwpack against values
none of them supplied."""

# IPMI: the BMC's address, the network functions as the request log shows
# them (already shifted into the upper six bits) and the command numbers.
BMC_SLAVE_ADDRESS = 0x20
NETFN_CHASSIS = 0x00
NETFN_APP = 0x18
NETFN_FIRMWARE = 0x20
CMD_GET_DEVICE_ID = 0x01                    # NETFN_APP
CMD_ENABLE_MESSAGE_CHANNEL_RECEIVE = 0x32   # NETFN_APP
CMD_GET_CHASSIS_STATUS = 0x01               # NETFN_CHASSIS
CMD_SET_FRONT_PANEL_ENABLES = 0x0A          # NETFN_CHASSIS
CMD_ENTER_FW_XFER = 0x00                    # NETFN_FIRMWARE
CMD_FW_DATA = 0x01                          # NETFN_FIRMWARE
CMD_EXIT_FW_XFER = 0x04                     # NETFN_FIRMWARE
DEVICE_ID_ANSWER_LENGTH = 15
UNLOCK_CODE_LENGTH = 4
# The library record's request data: offsets 30 to 62.
HAPI_REQUEST_DATA_MAX = 33

# The firmware transfer: bytes sent whatever the image says, the board
# address of the first, and the bytes of one FW_DATA request.
TRANSFER_SIZE = 0xB000
TRANSFER_BASE_ADDRESS = 0x1000
CHUNK_SIZE = 20
# The board's flash as the transfer writes it: 0x1000 up to 0xC000.
FLASH_START = 0x1000
FLASH_SIZE = 0xC000 - 0x1000
# Where the simulated board's firmware finds its revision in an image.
SIM_IMAGE_REVISION_MAJOR_OFFSET = 2
SIM_IMAGE_REVISION_MINOR_OFFSET = 3

# The boards' IPMB addresses.
PRIMARY = 0xC0
SECONDARY = 0xC2
MEDIA_BAY = 0xC4

# The data file: file header (version, image count, file length, two
# reserved bytes, signature), 51-byte image headers, the file CRC last.
DATA_FILE_VERSION = 2
DATA_FILE_SIGNATURE = "QUOR_INC"
DATA_FILE_SIGNATURE_SIZE = 9
DATA_FILE_SIGNATURE_OFFSET = 8
DATA_FILE_RESERVED_OFFSET = 6
DATA_FILE_CRC_SIZE = 2
FILE_HEADER_SIZE = 17
IMAGE_HEADER_SIZE = 51
BACKPLANE_DEVICE_TYPE = 2

# The signature's nine bytes: its letters and the terminating zero.
SIGNATURE = DATA_FILE_SIGNATURE.encode() + b"\0"
CHUNK_COUNT = (TRANSFER_SIZE + CHUNK_SIZE - 1) // CHUNK_SIZE
