// SPDX-License-Identifier: GPL-3.0-or-later
// The FreeIPMI backend's own configuration: which interface reaches the BMC,
// the LAN session parameters and the platform's system ID, read from one
// small file that an administrator owns.
#pragma once

#include <cstddef>
#include <cstdint>

// Where the configuration lives unless the environment names another file.
constexpr char BACKEND_CONFIG_DEFAULT_PATH[] = "/etc/velmoran/freeipmi.conf";
constexpr char BACKEND_CONFIG_ENVIRONMENT[] = "VELMORAN_FREEIPMI_CONFIG";

constexpr size_t CONFIG_TEXT_SIZE = 256;
constexpr size_t CONFIG_ERROR_SIZE = 512;
// IPMI 2.0 user names and passwords are at most 16 and 20 bytes.
constexpr size_t CONFIG_USER_MAX = 16;
constexpr size_t CONFIG_PASSWORD_MAX = 20;

enum BACKEND_INTERFACE : uint8_t {
    INTERFACE_INBAND = 0,
    INTERFACE_LAN = 1,
};

enum INBAND_DRIVER : uint8_t {
    INBAND_AUTO = 0,
    INBAND_OPENIPMI = 1,
    INBAND_KCS = 2,
    INBAND_SSIF = 3,
};

struct BACKEND_CONFIG {
    BACKEND_INTERFACE interface;
    INBAND_DRIVER inband_driver;
    char driver_device[CONFIG_TEXT_SIZE];  // empty: the driver's default device
    char host[CONFIG_TEXT_SIZE];
    uint16_t port;
    char user[CONFIG_USER_MAX + 1];
    char password_file[CONFIG_TEXT_SIZE];
    uint8_t cipher_suite;
    uint8_t privilege;  // IPMI privilege level: 2 user, 3 operator, 4 admin
    uint32_t workaround_flags;
    unsigned int session_timeout_ms;
    unsigned int retransmission_timeout_ms;
    bool has_system_id;
    uint16_t system_id;
};

// The path in use: the environment's choice or the default.
const char *config_path();

// Fills `config` with the defaults (in-band, automatic driver, no system ID).
void config_defaults(BACKEND_CONFIG *config);

// Reads the configuration file. A missing file leaves the defaults and
// succeeds; an unreadable or malformed one, a link, anything but a regular
// file, and a file that belongs to another user than root or the running one
// or that other users can write fail with a message in `error` naming the
// file and the line or rule.
bool config_load(const char *path, BACKEND_CONFIG *config, char *error, size_t error_size);

// Parses configuration text (the file's content); `origin` names it in errors.
bool config_parse(const char *text, const char *origin, BACKEND_CONFIG *config, char *error, size_t error_size);

// Reads the LAN password from the configured password file: its first line.
// The file is held to the configuration file's rules, and no user outside its
// owner and group may read it.
bool config_read_password(const BACKEND_CONFIG *config, char *password, size_t password_size, char *error,
                          size_t error_size);
