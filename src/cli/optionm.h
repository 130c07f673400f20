// SPDX-License-Identifier: GPL-3.0-or-later
// The option table module: the constant option and help-text tables, the
// command-line parser and the help listing built from the two tables.
#pragma once

#include <cstdint>

#include "app/records.h"

enum ENUM_TYPE : uint8_t {
    ENUM_ADVHELP = 0,
    ENUM_DEBUG = 1,
    ENUM_DOWNGRADE = 2,
    ENUM_FORCE = 3,
    ENUM_HELP = 4,
    ENUM_INPUT = 5,
    ENUM_LOG = 6,
    ENUM_LOOP = 7,
    ENUM_PROMPT = 8,
    ENUM_QUIET = 9,
    ENUM_REVISION = 10,
    ENUM_SERIAL = 11,
    ENUM_SYSID = 12,
    ENUM_VERSION = 13,
    ENUM_XML = 14,
    ENUM_XML_RESULT = 15,
    ENUM_END = 16,
};

enum ARGUMENT_TYPE : uint8_t {
    ARGUMENT_NOT_ALLOWED = 0,
    ARGUMENT_REQUIRED = 1,
};

constexpr uint32_t HELP_STANDARD = 1;
constexpr uint32_t HELP_CLI = 2;
constexpr uint32_t HELP_ADVANCED = 4;
constexpr uint32_t HELP_NORMAL = HELP_STANDARD | HELP_CLI;
constexpr uint32_t HELP_ALL = HELP_STANDARD | HELP_CLI | HELP_ADVANCED;

enum OPTION_RETURN_CODE_TYPE : uint8_t {
    OPTION_INVALID = 0,
    OPTION_DUPLICATE = 1,
    OPTION_VALID = 2,
    OPTION_ARGUMENT_EMPTY = 3,
    OPTION_ARGUMENT_INVALID_CHARACTER = 4,
    OPTION_ARGUMENT_INVALID_SYSTEM_ID = 5,
    OPTION_ARGUMENT_NOT_ALLOWED = 6,
    OPTION_ARGUMENT_REQUIRED = 7,
};

#pragma pack(push, 1)

struct OPTION_ENTRY_TYPE {
    char name[TEXT_FIELD_SIZE];
    ENUM_TYPE id;
    ARGUMENT_TYPE argument;
    uint32_t help_mask;
};

struct HELP_ENTRY_TYPE {
    ENUM_TYPE id;
    char text[TEXT_FIELD_SIZE];
};

struct OPTION_STRUCTURE_TYPE {
    uint8_t advhelp;
    uint8_t debug;
    uint8_t downgrade;
    uint8_t force;
    uint8_t help;
    uint8_t input;
    char input_argument[TEXT_FIELD_SIZE];
    uint8_t log;
    char log_argument[TEXT_FIELD_SIZE];
    uint8_t loop;
    uint8_t prompt;
    uint8_t quiet;
    uint8_t revision;
    uint8_t serial;
    uint8_t sysid;
    char sysid_argument[TEXT_FIELD_SIZE];
    uint8_t version;
    uint8_t xml;
    uint8_t xml_result;
};

#pragma pack(pop)

static_assert(sizeof(OPTION_ENTRY_TYPE) == 262);
static_assert(sizeof(HELP_ENTRY_TYPE) == 257);
static_assert(sizeof(OPTION_STRUCTURE_TYPE) == 16 + 3 * TEXT_FIELD_SIZE);
static_assert(offsetof(OPTION_STRUCTURE_TYPE, input_argument) == 6);
static_assert(offsetof(OPTION_STRUCTURE_TYPE, log) == 262);
static_assert(offsetof(OPTION_STRUCTURE_TYPE, sysid) == 524);
static_assert(offsetof(OPTION_STRUCTURE_TYPE, version) == 781);
static_assert(offsetof(OPTION_STRUCTURE_TYPE, xml_result) == 783);

constexpr int OPTION_TABLE_ROWS = 22;
constexpr int HELP_TABLE_ROWS = 16;
extern const OPTION_ENTRY_TYPE CONST_OPTION_ENTRY_ARRAY[OPTION_TABLE_ROWS];
extern const HELP_ENTRY_TYPE CONST_HELP_ENTRY_ARRAY[HELP_TABLE_ROWS];

// On failure `offending_word` points at the command-line word as typed (it
// may be longer than any text field); otherwise at the empty text.
OPTION_RETURN_CODE_TYPE options_parse(int argc, char **argv, OPTION_STRUCTURE_TYPE *options,
                                      const char **offending_word);
const char *option_return_code_str(OPTION_RETURN_CODE_TYPE code);

void option_help_show(int help_mask);
void help_show(int help_mask, const HELP_ENTRY_TYPE *help_table, const OPTION_ENTRY_TYPE *option_table);

void optionm_contructor();
void optionm_destructor();
