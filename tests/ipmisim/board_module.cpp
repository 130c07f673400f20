// SPDX-License-Identifier: GPL-3.0-or-later
// A loadable module for ipmi_sim that gives the management controllers at
// the boards' addresses the boards' firmware-transfer behaviour, answers the
// BMC requests stock ipmi_sim refuses, and can hold back chosen replies on
// the LAN (when it is also preloaded) to stand for a lost datagram. Load it
// both with loadlib and with LD_PRELOAD: the interposed functions need the
// latter, and both share the one copy of its state.
//
// Options (loadlib's second string, words "key=value"):
//   state=DIR          where each board's written image and counters go
//   rev=c0:1.10,...    the boards' revisions before any transfer
//   erase_polls=N      Get Device ID requests a board leaves unanswered while erasing
//   accept=both|primary|alternate|none   the unlock codes the boards take
//   drop_data=K        hold back the reply to each board's K-th data command once
//   die=erase|data:K   the whole emulated BMC dies (SIGKILL) on the first erase
//                      poll, or on a board's K-th data command
// The simulator's headers declare C functions without saying so.
extern "C" {
#include <OpenIPMI/extcmd.h>
#include <OpenIPMI/ipmi_auth.h>
#include <OpenIPMI/mcserv.h>
#include <OpenIPMI/serv.h>
}

#include <dlfcn.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ipmi/ipmi_commands.h"
#include "sim/sim_image.h"
#include "unlock_codes.h"

namespace {

constexpr uint8_t NETFN_CHASSIS_NUMBER = NETFN_CHASSIS >> 2;
constexpr uint8_t NETFN_APP_NUMBER = NETFN_APP >> 2;
constexpr uint8_t NETFN_FIRMWARE_NUMBER = NETFN_FIRMWARE >> 2;

constexpr uint8_t CC_SUCCESS = 0x00;
constexpr uint8_t CC_NODE_BUSY = 0xC0;
constexpr uint8_t CC_INVALID_COMMAND = 0xC1;
constexpr uint8_t CC_REQUEST_LENGTH_INVALID = 0xC7;
constexpr uint8_t CC_OUT_OF_RANGE = 0xC9;
constexpr uint8_t CC_INVALID_DATA = 0xCC;
constexpr uint8_t CC_WRONG_STATE = 0xD5;

constexpr uint8_t BOARD_ADDRESSES[] = {0xC0, 0xC2, 0xC4};
constexpr size_t BOARD_COUNT = sizeof BOARD_ADDRESSES;
constexpr size_t FLASH_SIZE = 0x10000;
constexpr uint32_t IMAGE_BASE = 0x1000;
constexpr uint32_t IMAGE_SIZE = 0xB000;
constexpr uint8_t ERASED = 0xFF;
constexpr size_t CHUNK_HEADER = 2;       // address, low byte first
constexpr size_t CHUNK_DATA_MAX = 20;
constexpr uint8_t CHANNEL_MASK = 0x0F;
constexpr uint8_t CHANNEL_ENABLED = 0x01;
constexpr uint8_t POWER_ON = 0x01;
constexpr uint8_t FRONT_PANEL_INITIAL = 0xF0;   // every button may be disabled, none is
// A bridged exchange leaves ipmi_sim as two datagrams: the Send Message
// answer and the board's answer.
constexpr int DATAGRAMS_PER_BRIDGED_REPLY = 2;

enum BOARD_MODE { RUNNING, ERASING, TRANSFER };

struct BOARD {
    uint8_t address;
    uint8_t major;
    uint8_t minor;
    BOARD_MODE mode;
    int silent_polls_left;
    unsigned int data_commands;
    unsigned int enters;
    bool dropped;
    uint8_t flash[FLASH_SIZE];
};

sys_data_t *simulator = nullptr;
BOARD boards[BOARD_COUNT];
char state_dir[512] = ".";
int erase_polls = 3;
bool accept_primary = true;
bool accept_alternate = true;
unsigned int drop_data = 0;
bool die_in_erase = false;
unsigned int die_at_data = 0;
uint8_t front_panel = FRONT_PANEL_INITIAL;
int datagrams_to_hold = 0;

const uint8_t primary_code[UNLOCK_CODE_LENGTH] = {UNLOCK_CODE_1, UNLOCK_CODE_2, UNLOCK_CODE_3,
                                                 UNLOCK_CODE_4};
const uint8_t alternate_code[UNLOCK_CODE_LENGTH] = {ALT_UNLOCK_CODE_1, ALT_UNLOCK_CODE_2,
                                                   ALT_UNLOCK_CODE_3, ALT_UNLOCK_CODE_4};

BOARD *board_of(lmc_data_t *mc) {
    uint8_t address = simulator->mc_get_ipmb(mc);
    for (BOARD &board : boards)
        if (board.address == address)
            return &board;
    return nullptr;
}

void answer(unsigned char *rdata, unsigned int *rdata_len, uint8_t code) {
    rdata[0] = code;
    *rdata_len = 1;
}

void save_board(const BOARD &board) {
    char path[600];
    snprintf(path, sizeof path, "%s/board_%02x.bin", state_dir, board.address);
    if (FILE *file = fopen(path, "wb")) {
        fwrite(board.flash + IMAGE_BASE, 1, IMAGE_SIZE, file);
        fclose(file);
    }
    snprintf(path, sizeof path, "%s/board_%02x.txt", state_dir, board.address);
    if (FILE *file = fopen(path, "w")) {
        fprintf(file, "enters=%u\ndata_commands=%u\nrevision=%x.%02x\n", board.enters,
                board.data_commands, board.major, board.minor);
        fclose(file);
    }
}

void get_device_id(lmc_data_t *mc, msg_t *, unsigned char *rdata, unsigned int *rdata_len,
                   void *) {
    BOARD *board = board_of(mc);
    if (board != nullptr && board->mode == ERASING) {
        if (die_in_erase)
            kill(getpid(), SIGKILL);
        if (board->silent_polls_left > 0) {
            board->silent_polls_left--;
            answer(rdata, rdata_len, CC_NODE_BUSY);
            return;
        }
        board->mode = TRANSFER;
    }
    // cc, device ID, device revision, firmware 1 and 2, IPMI 2.0, support,
    // manufacturer (3), product (2), auxiliary revision (4).
    const uint8_t reply[] = {CC_SUCCESS,
                             static_cast<uint8_t>(board != nullptr ? 1 : 0x20),
                             0x01,
                             static_cast<uint8_t>(board != nullptr ? board->major : 0x01),
                             static_cast<uint8_t>(board != nullptr ? board->minor : 0x00),
                             0x02,
                             static_cast<uint8_t>(board != nullptr ? 0x01 : 0xBF),
                             0x91, 0x12, 0x00,
                             0x00, 0x01,
                             0x00, 0x00, 0x00, 0x00};
    static_assert(sizeof reply == 1 + DEVICE_ID_ANSWER_LENGTH);
    memcpy(rdata, reply, sizeof reply);
    *rdata_len = sizeof reply;
}

void enter_fw_xfer(lmc_data_t *mc, msg_t *msg, unsigned char *rdata, unsigned int *rdata_len,
                   void *) {
    BOARD *board = board_of(mc);
    if (board == nullptr)
        return answer(rdata, rdata_len, CC_INVALID_COMMAND);
    if (msg->len != UNLOCK_CODE_LENGTH)
        return answer(rdata, rdata_len, CC_REQUEST_LENGTH_INVALID);
    bool primary = memcmp(msg->data, primary_code, UNLOCK_CODE_LENGTH) == 0;
    bool alternate = memcmp(msg->data, alternate_code, UNLOCK_CODE_LENGTH) == 0;
    if (!(primary && accept_primary) && !(alternate && accept_alternate))
        return answer(rdata, rdata_len, CC_INVALID_DATA);
    board->enters++;
    board->mode = ERASING;
    board->silent_polls_left = erase_polls;
    board->data_commands = 0;
    board->dropped = false;
    memset(board->flash, ERASED, sizeof board->flash);
    answer(rdata, rdata_len, CC_SUCCESS);
}

void fw_data(lmc_data_t *mc, msg_t *msg, unsigned char *rdata, unsigned int *rdata_len, void *) {
    BOARD *board = board_of(mc);
    if (board == nullptr)
        return answer(rdata, rdata_len, CC_INVALID_COMMAND);
    if (board->mode == ERASING)
        return answer(rdata, rdata_len, CC_NODE_BUSY);
    if (board->mode != TRANSFER)
        return answer(rdata, rdata_len, CC_WRONG_STATE);
    if (msg->len <= CHUNK_HEADER || msg->len > CHUNK_HEADER + CHUNK_DATA_MAX)
        return answer(rdata, rdata_len, CC_REQUEST_LENGTH_INVALID);
    uint32_t address = msg->data[0] | (msg->data[1] << 8);
    uint32_t length = msg->len - CHUNK_HEADER;
    if (address + length > FLASH_SIZE)
        return answer(rdata, rdata_len, CC_OUT_OF_RANGE);
    if (die_at_data != 0 && board->data_commands + 1 == die_at_data)
        kill(getpid(), SIGKILL);
    memcpy(board->flash + address, msg->data + CHUNK_HEADER, length);
    board->data_commands++;
    if (drop_data != 0 && board->data_commands == drop_data && !board->dropped) {
        board->dropped = true;
        datagrams_to_hold = DATAGRAMS_PER_BRIDGED_REPLY;
    }
    answer(rdata, rdata_len, CC_SUCCESS);
}

void exit_fw_xfer(lmc_data_t *mc, msg_t *, unsigned char *rdata, unsigned int *rdata_len,
                  void *) {
    BOARD *board = board_of(mc);
    if (board == nullptr)
        return answer(rdata, rdata_len, CC_INVALID_COMMAND);
    if (board->mode != TRANSFER)
        return answer(rdata, rdata_len, CC_WRONG_STATE);
    board->major = board->flash[IMAGE_BASE + SIM_IMAGE_REVISION_MAJOR_OFFSET];
    board->minor = board->flash[IMAGE_BASE + SIM_IMAGE_REVISION_MINOR_OFFSET];
    board->mode = RUNNING;
    save_board(*board);
    answer(rdata, rdata_len, CC_SUCCESS);
}

void get_chassis_status(lmc_data_t *, msg_t *, unsigned char *rdata, unsigned int *rdata_len,
                        void *) {
    const uint8_t reply[] = {CC_SUCCESS, POWER_ON, 0x00, 0x00, front_panel};
    memcpy(rdata, reply, sizeof reply);
    *rdata_len = sizeof reply;
}

void set_front_panel_enables(lmc_data_t *, msg_t *msg, unsigned char *rdata,
                             unsigned int *rdata_len, void *) {
    if (msg->len < 1)
        return answer(rdata, rdata_len, CC_REQUEST_LENGTH_INVALID);
    // The capability bits stay; the request sets the disable bits.
    front_panel = static_cast<uint8_t>((front_panel & 0xF0) | (msg->data[0] & 0x0F));
    answer(rdata, rdata_len, CC_SUCCESS);
}

void enable_message_channel_receive(lmc_data_t *, msg_t *msg, unsigned char *rdata,
                                    unsigned int *rdata_len, void *) {
    if (msg->len < 2)
        return answer(rdata, rdata_len, CC_REQUEST_LENGTH_INVALID);
    rdata[0] = CC_SUCCESS;
    rdata[1] = msg->data[0] & CHANNEL_MASK;
    rdata[2] = CHANNEL_ENABLED;
    *rdata_len = 3;
}

// "c0:1.10,c2:2.05": address, major (hex), minor (hex, as BCD is written).
void parse_revisions(const char *text) {
    while (*text != '\0') {
        unsigned int address = 0, major = 0, minor = 0;
        int used = 0;
        if (sscanf(text, "%x:%x.%x%n", &address, &major, &minor, &used) != 3)
            return;
        for (BOARD &board : boards)
            if (board.address == address) {
                board.major = static_cast<uint8_t>(major);
                board.minor = static_cast<uint8_t>(minor);
            }
        text += used;
        if (*text == ',')
            text++;
    }
}

void parse_options(const char *options) {
    char copy[1024];
    snprintf(copy, sizeof copy, "%s", options != nullptr ? options : "");
    char *save = nullptr;
    for (char *word = strtok_r(copy, " ", &save); word != nullptr;
         word = strtok_r(nullptr, " ", &save)) {
        char *equals = strchr(word, '=');
        if (equals == nullptr)
            continue;
        *equals = '\0';
        const char *value = equals + 1;
        if (strcmp(word, "state") == 0)
            snprintf(state_dir, sizeof state_dir, "%s", value);
        else if (strcmp(word, "rev") == 0)
            parse_revisions(value);
        else if (strcmp(word, "erase_polls") == 0)
            erase_polls = atoi(value);
        else if (strcmp(word, "drop_data") == 0)
            drop_data = static_cast<unsigned int>(atoi(value));
        else if (strcmp(word, "die") == 0 && strcmp(value, "erase") == 0)
            die_in_erase = true;
        else if (strcmp(word, "die") == 0 && strncmp(value, "data:", 5) == 0)
            die_at_data = static_cast<unsigned int>(atoi(value + 5));
        else if (strcmp(word, "accept") == 0) {
            accept_primary = strcmp(value, "both") == 0 || strcmp(value, "primary") == 0;
            accept_alternate = strcmp(value, "both") == 0 || strcmp(value, "alternate") == 0;
        }
    }
}

}  // namespace

extern "C" {

int ipmi_sim_module_print_version(sys_data_t *, char *) {
    printf("velmoran board module 1\n");
    return 0;
}

int ipmi_sim_module_init(sys_data_t *sys, const char *options) {
    simulator = sys;
    for (size_t i = 0; i < BOARD_COUNT; i++) {
        boards[i].address = BOARD_ADDRESSES[i];
        boards[i].major = 1;
        boards[i].minor = 0;
        boards[i].mode = RUNNING;
        memset(boards[i].flash, ERASED, FLASH_SIZE);
    }
    parse_options(options);
    int failures = 0;
    failures += ipmi_emu_register_cmd_handler(NETFN_APP_NUMBER, CMD_GET_DEVICE_ID, get_device_id,
                                              nullptr) != 0;
    failures += ipmi_emu_register_cmd_handler(NETFN_APP_NUMBER, CMD_ENABLE_MESSAGE_CHANNEL_RECEIVE,
                                              enable_message_channel_receive, nullptr) != 0;
    failures += ipmi_emu_register_cmd_handler(NETFN_CHASSIS_NUMBER, CMD_GET_CHASSIS_STATUS,
                                              get_chassis_status, nullptr) != 0;
    failures += ipmi_emu_register_cmd_handler(NETFN_CHASSIS_NUMBER, CMD_SET_FRONT_PANEL_ENABLES,
                                              set_front_panel_enables, nullptr) != 0;
    failures += ipmi_emu_register_cmd_handler(NETFN_FIRMWARE_NUMBER, CMD_ENTER_FW_XFER,
                                              enter_fw_xfer, nullptr) != 0;
    failures += ipmi_emu_register_cmd_handler(NETFN_FIRMWARE_NUMBER, CMD_FW_DATA, fw_data,
                                              nullptr) != 0;
    failures += ipmi_emu_register_cmd_handler(NETFN_FIRMWARE_NUMBER, CMD_EXIT_FW_XFER,
                                              exit_fw_xfer, nullptr) != 0;
    return failures == 0 ? 0 : -1;
}

// Interposed over the simulator's privilege table when the module is
// preloaded: ipmi_sim keeps Enable Message Channel Receive to the system
// interface, but the boards' BMC takes it over the LAN as well.
int ipmi_cmd_permitted(unsigned char privilege, unsigned char netfn, unsigned char command) {
    using PERMITTED = int (*)(unsigned char, unsigned char, unsigned char);
    static PERMITTED real_permitted = reinterpret_cast<PERMITTED>(dlsym(RTLD_NEXT, "ipmi_cmd_permitted"));
    if (netfn == NETFN_APP_NUMBER && command == CMD_ENABLE_MESSAGE_CHANNEL_RECEIVE)
        return IPMI_PRIV_PERMITTED;
    return real_permitted(privilege, netfn, command);
}

// Interposed over libc's when the module is preloaded: swallows the
// datagrams of a reply that a handler chose to hold back.
ssize_t sendmsg(int socket, const struct msghdr *message, int flags) {
    using SENDMSG = ssize_t (*)(int, const struct msghdr *, int);
    static SENDMSG real_sendmsg = reinterpret_cast<SENDMSG>(dlsym(RTLD_NEXT, "sendmsg"));
    if (datagrams_to_hold > 0) {
        datagrams_to_hold--;
        ssize_t length = 0;
        for (size_t i = 0; i < message->msg_iovlen; i++)
            length += static_cast<ssize_t>(message->msg_iov[i].iov_len);
        return length;
    }
    return real_sendmsg(socket, message, flags);
}

}  // extern "C"
