// SPDX-License-Identifier: GPL-3.0-or-later
// Owns the parsing of the backend's configuration file and of its password
// file. Nothing here talks to a BMC; the session module and the host
// information entry both start from what this reads.
#include "backend_config.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <freeipmi/freeipmi.h>

namespace {

constexpr uint16_t IPMI_LAN_PORT = 623;
constexpr uint8_t DEFAULT_CIPHER_SUITE = 3;
constexpr uint8_t CIPHER_SUITE_MAX = 17;
constexpr unsigned int DEFAULT_SESSION_TIMEOUT_MS = 5000;
constexpr unsigned int DEFAULT_RETRANSMISSION_TIMEOUT_MS = 500;
// Keep every wait short enough to stay bounded yet long enough for a slow BMC.
constexpr unsigned int TIMEOUT_MIN_MS = 50;
constexpr unsigned int TIMEOUT_MAX_MS = 60000;
constexpr size_t CONFIG_FILE_MAX = size_t{64} * 1024;
constexpr mode_t OTHERS_ACCESS = S_IRWXO;
constexpr mode_t GROUP_OR_OTHERS_WRITE = S_IWGRP | S_IWOTH;

struct NAMED_VALUE {
    const char *name;
    uint32_t value;
};

constexpr NAMED_VALUE privilege_names[] = {
    {"user", IPMI_PRIVILEGE_LEVEL_USER},
    {"operator", IPMI_PRIVILEGE_LEVEL_OPERATOR},
    {"admin", IPMI_PRIVILEGE_LEVEL_ADMIN},
};

constexpr NAMED_VALUE interface_names[] = {
    {"inband", INTERFACE_INBAND},
    {"lan", INTERFACE_LAN},
};

constexpr NAMED_VALUE driver_names[] = {
    {"auto", INBAND_AUTO},
    {"openipmi", INBAND_OPENIPMI},
    {"kcs", INBAND_KCS},
    {"ssif", INBAND_SSIF},
};

constexpr NAMED_VALUE workaround_names[] = {
    {"authentication_capabilities", IPMI_WORKAROUND_FLAGS_OUTOFBAND_2_0_AUTHENTICATION_CAPABILITIES},
    {"intel_2_0_session", IPMI_WORKAROUND_FLAGS_OUTOFBAND_2_0_INTEL_2_0_SESSION},
    {"supermicro_2_0_session", IPMI_WORKAROUND_FLAGS_OUTOFBAND_2_0_SUPERMICRO_2_0_SESSION},
    {"sun_2_0_session", IPMI_WORKAROUND_FLAGS_OUTOFBAND_2_0_SUN_2_0_SESSION},
    {"open_session_privilege", IPMI_WORKAROUND_FLAGS_OUTOFBAND_2_0_OPEN_SESSION_PRIVILEGE},
    {"non_empty_integrity_check_value", IPMI_WORKAROUND_FLAGS_OUTOFBAND_2_0_NON_EMPTY_INTEGRITY_CHECK_VALUE},
    {"no_checksum_check", IPMI_WORKAROUND_FLAGS_OUTOFBAND_2_0_NO_CHECKSUM_CHECK},
};

// Every setting the file may hold, each at most once.
constexpr const char *setting_names[] = {
    "interface",
    "driver",
    "driver_device",
    "host",
    "port",
    "user",
    "password_file",
    "cipher_suite",
    "privilege",
    "workaround_flags",
    "session_timeout_ms",
    "retransmission_timeout_ms",
    "system_id",
};
constexpr size_t SETTING_COUNT = sizeof setting_names / sizeof setting_names[0];

// The setting's index in setting_names, or SETTING_COUNT for an unknown key.
size_t setting_index(const char *key)
{
    size_t index = 0;
    while (index < SETTING_COUNT && strcmp(setting_names[index], key) != 0)
        index++;
    return index;
}

// NOLINTNEXTLINE(cert-dcl50-cpp): printf-style, as the messages it formats
void set_error(char *error, size_t error_size, const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): va_start above; the analyzer misses GCC's builtin
    vsnprintf(error, error_size, format, arguments);
    va_end(arguments);
}

template <size_t N>
bool find_name(const NAMED_VALUE (&table)[N], const char *name, uint32_t *value)
{
    for (const NAMED_VALUE &entry : table) {
        if (strcmp(entry.name, name) == 0) {
            *value = entry.value;
            return true;
        }
    }
    return false;
}

// Whole-word unsigned number, decimal or 0x-prefixed hexadecimal.
bool parse_number(const char *text, unsigned long maximum, unsigned long *value)
{
    if (*text == '\0' || *text == '-' || *text == '+')
        return false;
    char *end = nullptr;
    errno = 0;
    unsigned long parsed = strtoul(text, &end, 0);
    if (errno != 0 || *end != '\0' || parsed > maximum)
        return false;
    *value = parsed;
    return true;
}

bool copy_text(const char *value, char *target, size_t target_size)
{
    size_t length = strlen(value);
    if (length == 0 || length >= target_size)
        return false;
    memcpy(target, value, length + 1);
    return true;
}

char *trim(char *text)
{
    while (*text == ' ' || *text == '\t')
        text++;
    size_t length = strlen(text);
    while (length > 0 && (text[length - 1] == ' ' || text[length - 1] == '\t' || text[length - 1] == '\r'))
        text[--length] = '\0';
    return text;
}

bool parse_workarounds(char *value, uint32_t *flags)
{
    uint32_t result = 0;
    bool any = false;
    char *save = nullptr;
    for (char *word = strtok_r(value, ", \t", &save); word != nullptr; word = strtok_r(nullptr, ", \t", &save)) {
        any = true;
        uint32_t named = 0;
        unsigned long number = 0;
        if (find_name(workaround_names, word, &named))
            result |= named;
        else if (parse_number(word, UINT32_MAX, &number))
            result |= static_cast<uint32_t>(number);
        else
            return false;
    }
    // Separators alone are as empty as no value.
    if (!any)
        return false;
    *flags = result;
    return true;
}

// One "key = value" setting; false when the key is unknown or the value bad.
bool apply_setting(const char *key, char *value, BACKEND_CONFIG *config)
{
    uint32_t named = 0;
    unsigned long number = 0;
    if (strcmp(key, "interface") == 0) {
        if (!find_name(interface_names, value, &named))
            return false;
        config->interface = static_cast<BACKEND_INTERFACE>(named);
    } else if (strcmp(key, "driver") == 0) {
        if (!find_name(driver_names, value, &named))
            return false;
        config->inband_driver = static_cast<INBAND_DRIVER>(named);
    } else if (strcmp(key, "driver_device") == 0) {
        return copy_text(value, config->driver_device, sizeof config->driver_device);
    } else if (strcmp(key, "host") == 0) {
        return copy_text(value, config->host, sizeof config->host);
    } else if (strcmp(key, "port") == 0) {
        if (!parse_number(value, UINT16_MAX, &number) || number == 0)
            return false;
        config->port = static_cast<uint16_t>(number);
    } else if (strcmp(key, "user") == 0) {
        return copy_text(value, config->user, sizeof config->user);
    } else if (strcmp(key, "password_file") == 0) {
        return copy_text(value, config->password_file, sizeof config->password_file);
    } else if (strcmp(key, "cipher_suite") == 0) {
        if (!parse_number(value, CIPHER_SUITE_MAX, &number))
            return false;
        config->cipher_suite = static_cast<uint8_t>(number);
    } else if (strcmp(key, "privilege") == 0) {
        if (!find_name(privilege_names, value, &named))
            return false;
        config->privilege = static_cast<uint8_t>(named);
    } else if (strcmp(key, "workaround_flags") == 0) {
        return parse_workarounds(value, &config->workaround_flags);
    } else if (strcmp(key, "session_timeout_ms") == 0 || strcmp(key, "retransmission_timeout_ms") == 0) {
        if (!parse_number(value, TIMEOUT_MAX_MS, &number) || number < TIMEOUT_MIN_MS)
            return false;
        unsigned int *target = key[0] == 's' ? &config->session_timeout_ms : &config->retransmission_timeout_ms;
        *target = static_cast<unsigned int>(number);
    } else if (strcmp(key, "system_id") == 0) {
        // Written in hexadecimal, as the program's own system-ID option is.
        char *end = nullptr;
        errno = 0;
        unsigned long id = strtoul(value, &end, 16);
        if (*value == '\0' || *value == '-' || *end != '\0' || errno != 0 || id > UINT16_MAX)
            return false;
        config->has_system_id = true;
        config->system_id = static_cast<uint16_t>(id);
    } else {
        return false;
    }
    return true;
}

// Opens a file that decides where the password goes, or is the password,
// without blocking on a FIFO and without following a link, and accepts it only
// when nobody but root or this user can have changed it. Null with `error`
// naming the file and the rule otherwise; `missing` tells a file that is not
// there.
FILE *open_trusted(const char *path, bool *missing, char *error, size_t error_size)
{
    *missing = false;
    int descriptor = open(path, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (descriptor < 0) {
        *missing = errno == ENOENT;
        if (errno == ELOOP)
            set_error(error, error_size, "%s: a symbolic link; name the file itself", path);
        else
            set_error(error, error_size, "%s: %s", path, strerror(errno));
        return nullptr;
    }
    struct stat status {};
    const char *broken = nullptr;
    if (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode))
        broken = "not a regular file";
    else if (status.st_uid != 0 && status.st_uid != geteuid())
        broken = "owned by another user; it must belong to root or to the user running velmoran";
    else if ((status.st_mode & GROUP_OR_OTHERS_WRITE) != 0)
        broken = "other users can write it; chmod go-w first";
    FILE *file = broken == nullptr ? fdopen(descriptor, "rb") : nullptr;
    if (file == nullptr) {
        close(descriptor);
        set_error(error, error_size, "%s: %s", path, broken != nullptr ? broken : strerror(errno));
    }
    return file;
}

}  // namespace

const char *config_path()
{
    const char *chosen = getenv(BACKEND_CONFIG_ENVIRONMENT);
    return chosen != nullptr && *chosen != '\0' ? chosen : BACKEND_CONFIG_DEFAULT_PATH;
}

void config_defaults(BACKEND_CONFIG *config)
{
    memset(config, 0, sizeof *config);
    config->interface = INTERFACE_INBAND;
    config->inband_driver = INBAND_AUTO;
    config->port = IPMI_LAN_PORT;
    config->cipher_suite = DEFAULT_CIPHER_SUITE;
    config->privilege = IPMI_PRIVILEGE_LEVEL_ADMIN;
    config->workaround_flags = 0;
    config->session_timeout_ms = DEFAULT_SESSION_TIMEOUT_MS;
    config->retransmission_timeout_ms = DEFAULT_RETRANSMISSION_TIMEOUT_MS;
}

bool config_parse(const char *text, const char *origin, BACKEND_CONFIG *config, char *error, size_t error_size)
{
    size_t text_length = strlen(text);
    char *copy = static_cast<char *>(malloc(text_length + 1));
    if (copy == nullptr) {
        set_error(error, error_size, "%s: out of memory", origin);
        return false;
    }
    memcpy(copy, text, text_length + 1);

    bool good = true;
    unsigned int line_number = 0;
    // The line each setting was given on; 0 while it has not been.
    unsigned int given_on[SETTING_COUNT] = {};
    char *save = nullptr;
    // strtok_r would merge empty lines and miscount them, so split by hand.
    for (char *line = copy; line != nullptr && good; line = save) {
        char *newline = strchr(line, '\n');
        save = newline != nullptr ? newline + 1 : nullptr;
        if (newline != nullptr)
            *newline = '\0';
        line_number++;
        char *content = trim(line);
        if (*content == '\0' || *content == '#')
            continue;
        char *equals = strchr(content, '=');
        if (equals == nullptr) {
            set_error(error, error_size, "%s:%u: expected \"key = value\"", origin, line_number);
            good = false;
            break;
        }
        *equals = '\0';
        char *key = trim(content);
        char *value = trim(equals + 1);
        const size_t setting = setting_index(key);
        // The last of two would win silently, and the first may be the one meant.
        if (setting < SETTING_COUNT && given_on[setting] != 0) {
            set_error(error, error_size, "%s:%u: \"%s\" is given again (first on line %u)", origin, line_number, key,
                      given_on[setting]);
            good = false;
        } else if (setting < SETTING_COUNT && *value == '\0') {
            set_error(error, error_size, "%s:%u: no value for \"%s\"", origin, line_number, key);
            good = false;
        } else if (setting < SETTING_COUNT) {
            given_on[setting] = line_number;
        }
        if (good && !apply_setting(key, value, config)) {
            set_error(error, error_size, "%s:%u: unknown setting or bad value for \"%s\"", origin, line_number, key);
            good = false;
        }
    }
    free(copy);
    if (!good)
        return false;

    if (config->retransmission_timeout_ms >= config->session_timeout_ms) {
        set_error(error, error_size, "%s: retransmission_timeout_ms must be shorter than session_timeout_ms", origin);
        return false;
    }
    if (config->interface == INTERFACE_LAN &&
        (config->host[0] == '\0' || config->user[0] == '\0' || config->password_file[0] == '\0')) {
        set_error(error, error_size, "%s: the lan interface needs host, user and password_file", origin);
        return false;
    }
    return true;
}

bool config_load(const char *path, BACKEND_CONFIG *config, char *error, size_t error_size)
{
    config_defaults(config);
    bool missing = false;
    FILE *file = open_trusted(path, &missing, error, error_size);
    if (file == nullptr) {
        if (missing && error_size > 0)
            error[0] = '\0';
        return missing;
    }
    char *text = static_cast<char *>(malloc(CONFIG_FILE_MAX + 1));
    if (text == nullptr) {
        fclose(file);
        set_error(error, error_size, "%s: out of memory", path);
        return false;
    }
    size_t length = fread(text, 1, CONFIG_FILE_MAX + 1, file);
    bool read_failed = ferror(file) != 0;
    fclose(file);
    bool good = false;
    if (read_failed)
        set_error(error, error_size, "%s: read error", path);
    else if (length > CONFIG_FILE_MAX)
        set_error(error, error_size, "%s: larger than %zu bytes", path, CONFIG_FILE_MAX);
    else if (memchr(text, '\0', length) != nullptr)
        set_error(error, error_size, "%s: not a text file", path);
    else {
        text[length] = '\0';
        good = config_parse(text, path, config, error, error_size);
    }
    free(text);
    return good;
}

bool config_read_password(const BACKEND_CONFIG *config, char *password, size_t password_size, char *error,
                          size_t error_size)
{
    const char *path = config->password_file;
    bool missing = false;
    FILE *file = open_trusted(path, &missing, error, error_size);
    if (file == nullptr)
        return false;
    struct stat status {};
    if (fstat(fileno(file), &status) != 0 || (status.st_mode & OTHERS_ACCESS) != 0) {
        fclose(file);
        set_error(error, error_size, "%s: other users can access it; chmod o-rwx first", path);
        return false;
    }
    char line[CONFIG_PASSWORD_MAX + 3] = {};
    bool got_line = fgets(line, sizeof line, file) != nullptr;
    fclose(file);
    size_t length = got_line ? strcspn(line, "\r\n") : 0;
    bool line_ended = got_line && (line[length] != '\0' || length < sizeof line - 1);
    if (!line_ended || length > CONFIG_PASSWORD_MAX || length >= password_size) {
        set_error(error, error_size, "%s: the password must be one line of at most %zu bytes", path,
                  CONFIG_PASSWORD_MAX);
        return false;
    }
    memcpy(password, line, length);
    password[length] = '\0';
    return true;
}
