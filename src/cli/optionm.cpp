// SPDX-License-Identifier: GPL-3.0-or-later
// The option-table module: owns the constant option and help-text tables, the
// parser that checks command-line words against them, and the help listing
// built from the same tables. It prints nothing but the help listing.
#include "cli/optionm.h"

#include <cerrno>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "output/print.h"

const OPTION_ENTRY_TYPE CONST_OPTION_ENTRY_ARRAY[OPTION_TABLE_ROWS] = {
    {"-d", ENUM_DOWNGRADE, ARGUMENT_NOT_ALLOWED, HELP_STANDARD},
    {"-f", ENUM_FORCE, ARGUMENT_NOT_ALLOWED, HELP_STANDARD},
    {"-force", ENUM_FORCE, ARGUMENT_NOT_ALLOWED, HELP_CLI},
    {"-h", ENUM_HELP, ARGUMENT_NOT_ALLOWED, HELP_STANDARD},
    {"-help", ENUM_HELP, ARGUMENT_NOT_ALLOWED, HELP_CLI},
    {"-i", ENUM_INPUT, ARGUMENT_REQUIRED, HELP_STANDARD},
    {"-input", ENUM_INPUT, ARGUMENT_REQUIRED, HELP_CLI},
    {"-l", ENUM_LOG, ARGUMENT_REQUIRED, HELP_STANDARD},
    {"-log", ENUM_LOG, ARGUMENT_REQUIRED, HELP_CLI},
    {"-q", ENUM_QUIET, ARGUMENT_NOT_ALLOWED, HELP_STANDARD},
    {"-quiet", ENUM_QUIET, ARGUMENT_NOT_ALLOWED, HELP_CLI},
    {"-r", ENUM_REVISION, ARGUMENT_NOT_ALLOWED, HELP_STANDARD},
    {"-revision", ENUM_REVISION, ARGUMENT_NOT_ALLOWED, HELP_CLI},
    {"-version", ENUM_VERSION, ARGUMENT_NOT_ALLOWED, HELP_CLI},
    {"-xml", ENUM_XML, ARGUMENT_NOT_ALLOWED, HELP_ADVANCED},
    {"-fml", ENUM_XML_RESULT, ARGUMENT_NOT_ALLOWED, HELP_ADVANCED},
    {"-advhelp", ENUM_ADVHELP, ARGUMENT_NOT_ALLOWED, HELP_ADVANCED},
    {"-quordebug", ENUM_DEBUG, ARGUMENT_NOT_ALLOWED, HELP_ADVANCED},
    {"-prompt", ENUM_PROMPT, ARGUMENT_NOT_ALLOWED, HELP_ADVANCED},
    {"-sysid", ENUM_SYSID, ARGUMENT_REQUIRED, HELP_ADVANCED},
    {"-tloop", ENUM_LOOP, ARGUMENT_NOT_ALLOWED, HELP_ADVANCED},
    {"", ENUM_END, ARGUMENT_NOT_ALLOWED, HELP_STANDARD},
};

const HELP_ENTRY_TYPE CONST_HELP_ENTRY_ARRAY[HELP_TABLE_ROWS] = {
    {ENUM_ADVHELP, "Display advanced options help."},
    {ENUM_DEBUG, "Enable extra Quor debug messages."},
    {ENUM_DOWNGRADE, "Allow downgrade of firmware without asking."},
    {ENUM_FORCE, "Force flash all devices."},
    {ENUM_HELP, "Show command line options with descriptions."},
    {ENUM_INPUT, "Argument is name of alternate data file to use."},
    {ENUM_LOG, "Log all messages to file specified by argument."},
    {ENUM_LOOP, "Loop flashing forever."},
    {ENUM_PROMPT, "Prompt user before flashing each device."},
    {ENUM_QUIET, "Quiet mode. No prompts. Display error messages ONLY."},
    {ENUM_REVISION, "Display firmware and data file revisions then exit."},
    {ENUM_SYSID, "Use specified system ID. Argument is a hex number."},
    {ENUM_VERSION, "Display version of this flash program."},
    {ENUM_XML, "Produce inventory output in XML format."},
    {ENUM_XML_RESULT, "Flash with result in XML format."},
    {ENUM_END, ""},
};

namespace {

constexpr char ARGUMENT_SEPARATOR = '=';
constexpr char FORBIDDEN_PATH_CHARACTERS[] = "*?+,;=[]";
constexpr int HIGHEST_SYSTEM_ID = 0xFFFF;
constexpr char HELP_NAME_JOINER[] = ", ";
constexpr char HELP_ARGUMENT_SUFFIX[] = "=argument";
constexpr char HELP_COLUMN_GAP[] = "  ";
// The left column, the gap and the help text, each field at its longest.
constexpr size_t HELP_LINE_SIZE = 2 * TEXT_FIELD_SIZE + sizeof HELP_COLUMN_GAP;

void copy_text(char *destination, const char *source)
{
    snprintf(destination, TEXT_FIELD_SIZE, "%s", source);
}

// Appends as much of `text` as the 256-character field still has room for.
void append_text(char *destination, const char *text)
{
    size_t used = strlen(destination);
    snprintf(destination + used, TEXT_FIELD_SIZE - used, "%s", text);
}

void option_structure_defaults(OPTION_STRUCTURE_TYPE *options)
{
    memset(options, 0, sizeof *options);
}

const OPTION_ENTRY_TYPE *get_option_table_entry(const char *name, const OPTION_ENTRY_TYPE *option_table)
{
    const OPTION_ENTRY_TYPE *row = option_table;
    for (; row->id != ENUM_END; row++) {
        if (strcmp(row->name, name) == 0)
            break;
    }
    return row;
}

// The magnitude after an optional sign must fit in 32 bits: reading a longer
// number into the 32-bit value would silently drop its high digits and could
// turn, say, 100000000 into a valid system ID 0.
bool system_id_fits_in_32_bits(const char *argument)
{
    const char *digits = argument;
    while (isspace(static_cast<unsigned char>(*digits)))
        digits++;
    if (*digits == '+' || *digits == '-')
        digits++;
    errno = 0;
    unsigned long long magnitude = strtoull(digits, nullptr, 16);
    return errno != ERANGE && magnitude <= UINT32_MAX;
}

OPTION_RETURN_CODE_TYPE argument_check(const char *argument, ENUM_TYPE id)
{
    switch (id) {
    case ENUM_INPUT:
    case ENUM_LOG:
        if (argument[0] == '\0')
            return OPTION_ARGUMENT_EMPTY;
        if (strpbrk(argument, FORBIDDEN_PATH_CHARACTERS) != nullptr)
            return OPTION_ARGUMENT_INVALID_CHARACTER;
        return OPTION_VALID;
    case ENUM_SYSID: {
        if (argument[0] == '\0')
            return OPTION_ARGUMENT_EMPTY;
        // Size checked first: scanning a number too big for its target is undefined.
        unsigned int digits_read = 0;
        if (!system_id_fits_in_32_bits(argument) || sscanf(argument, "%x", &digits_read) != 1)
            return OPTION_ARGUMENT_INVALID_SYSTEM_ID;
        // Signed on purpose: a negative number passes and its low 16 bits are used.
        int32_t system_id = static_cast<int32_t>(digits_read);
        if (system_id > HIGHEST_SYSTEM_ID)
            return OPTION_ARGUMENT_INVALID_SYSTEM_ID;
        return OPTION_VALID;
    }
    default:
        return OPTION_VALID;
    }
}

OPTION_RETURN_CODE_TYPE option_search(const char *word, ENUM_TYPE *id, char *argument,
                                      const OPTION_ENTRY_TYPE *option_table)
{
    char name[TEXT_FIELD_SIZE];
    copy_text(name, word);
    argument[0] = '\0';

    char *separator = strchr(name, ARGUMENT_SEPARATOR);
    bool has_argument = separator != nullptr;
    if (has_argument) {
        *separator = '\0';
        copy_text(argument, separator + 1);
    }

    const OPTION_ENTRY_TYPE *row = get_option_table_entry(name, option_table);
    if (row->id == ENUM_END) {
        argument[0] = '\0';
        *id = ENUM_END;
        return OPTION_INVALID;
    }
    *id = row->id;

    bool wants_argument = row->argument == ARGUMENT_REQUIRED;
    if (has_argument == wants_argument)
        return argument_check(argument, row->id);
    return wants_argument ? OPTION_ARGUMENT_REQUIRED : OPTION_ARGUMENT_NOT_ALLOWED;
}

uint8_t *option_flag(OPTION_STRUCTURE_TYPE *options, ENUM_TYPE id)
{
    switch (id) {
    case ENUM_ADVHELP: return &options->advhelp;
    case ENUM_DEBUG: return &options->debug;
    case ENUM_DOWNGRADE: return &options->downgrade;
    case ENUM_FORCE: return &options->force;
    case ENUM_HELP: return &options->help;
    case ENUM_INPUT: return &options->input;
    case ENUM_LOG: return &options->log;
    case ENUM_LOOP: return &options->loop;
    case ENUM_PROMPT: return &options->prompt;
    case ENUM_QUIET: return &options->quiet;
    case ENUM_REVISION: return &options->revision;
    case ENUM_SERIAL: return &options->serial;
    case ENUM_SYSID: return &options->sysid;
    case ENUM_VERSION: return &options->version;
    case ENUM_XML: return &options->xml;
    case ENUM_XML_RESULT: return &options->xml_result;
    case ENUM_END: break;
    }
    return nullptr;
}

char *option_argument_field(OPTION_STRUCTURE_TYPE *options, ENUM_TYPE id)
{
    switch (id) {
    case ENUM_INPUT: return options->input_argument;
    case ENUM_LOG: return options->log_argument;
    case ENUM_SYSID: return options->sysid_argument;
    default: return nullptr;
    }
}

OPTION_RETURN_CODE_TYPE option_look_for_duplicates_and_add_to_structure(ENUM_TYPE id, const char *argument,
                                                                        OPTION_STRUCTURE_TYPE *options)
{
    uint8_t *flag = option_flag(options, id);
    if (flag == nullptr)
        return OPTION_INVALID;
    // Found by identifier, so a short and a long name of one option collide.
    if (*flag == 1)
        return OPTION_DUPLICATE;
    *flag = 1;
    char *field = option_argument_field(options, id);
    if (field != nullptr)
        copy_text(field, argument);
    return OPTION_VALID;
}

void get_option_help_str(char *text, uint32_t help_mask, ENUM_TYPE id, const OPTION_ENTRY_TYPE *option_table)
{
    text[0] = '\0';
    const OPTION_ENTRY_TYPE *last_match = nullptr;
    for (const OPTION_ENTRY_TYPE *row = option_table; row->id != ENUM_END; row++) {
        if ((row->help_mask & help_mask) == 0 || row->id != id)
            continue;
        if (text[0] != '\0')
            append_text(text, HELP_NAME_JOINER);
        append_text(text, row->name);
        last_match = row;
    }
    if (text[0] != '\0' && last_match->argument == ARGUMENT_REQUIRED)
        append_text(text, HELP_ARGUMENT_SUFFIX);
}

const HELP_ENTRY_TYPE *get_help_entry(ENUM_TYPE id, const HELP_ENTRY_TYPE *help_table)
{
    const HELP_ENTRY_TYPE *row = help_table;
    for (; row->id != ENUM_END; row++) {
        if (row->id == id)
            break;
    }
    return row;
}

void option_display_str(const char *line)
{
    char text[HELP_LINE_SIZE + 1];
    snprintf(text, sizeof text, "%s\n", line);
    display_redirection(PRT_HELP, text);
}

}  // namespace

OPTION_RETURN_CODE_TYPE options_parse(int argc, char **argv, OPTION_STRUCTURE_TYPE *options,
                                      const char **offending_word)
{
    option_structure_defaults(options);
    *offending_word = "";

    OPTION_RETURN_CODE_TYPE result = OPTION_VALID;
    for (int index = 1; index < argc; index++) {
        const char *word = argv[index];
        ENUM_TYPE id = ENUM_END;
        char argument[TEXT_FIELD_SIZE];
        // A word that does not fit its buffers is refused whole, never cut:
        // a cut file name would name another file.
        if (strlen(word) >= TEXT_FIELD_SIZE)
            result = OPTION_INVALID;
        else
            result = option_search(word, &id, argument, CONST_OPTION_ENTRY_ARRAY);
        if (result == OPTION_VALID)
            result = option_look_for_duplicates_and_add_to_structure(id, argument, options);
        if (result != OPTION_VALID) {
            *offending_word = word;
            break;
        }
    }
    return result;
}

const char *option_return_code_str(OPTION_RETURN_CODE_TYPE code)
{
    switch (code) {
    case OPTION_INVALID: return "OPTION INVALID";
    case OPTION_DUPLICATE: return "OPTION DUPLICATE";
    case OPTION_VALID: return "OPTION VALID";
    case OPTION_ARGUMENT_EMPTY: return "ARGUMENT EMPTY";
    case OPTION_ARGUMENT_INVALID_CHARACTER: return "ARGUMENT INVALID CHARACTER";
    case OPTION_ARGUMENT_INVALID_SYSTEM_ID: return "ARGUMENT INVALID SYSTEM ID";
    case OPTION_ARGUMENT_NOT_ALLOWED: return "ARGUMENT NOT ALLOWED";
    case OPTION_ARGUMENT_REQUIRED: return "ARGUMENT REQUIRED";
    }
    return "OPTION RETURN CODE UNKNOWN";
}

void option_help_show(int help_mask)
{
    help_show(help_mask, CONST_HELP_ENTRY_ARRAY, CONST_OPTION_ENTRY_ARRAY);
}

void help_show(int help_mask, const HELP_ENTRY_TYPE *help_table, const OPTION_ENTRY_TYPE *option_table)
{
    const uint32_t mask = static_cast<uint32_t>(help_mask);
    char left_column[TEXT_FIELD_SIZE];

    size_t width = 0;
    for (int id = ENUM_ADVHELP; id < ENUM_END; id++) {
        get_option_help_str(left_column, mask, static_cast<ENUM_TYPE>(id), option_table);
        if (strlen(left_column) > width)
            width = strlen(left_column);
    }

    // The column width is known only now, so the line format is built here.
    char line_format[TEXT_FIELD_SIZE];
    snprintf(line_format, sizeof line_format, "%s%d%s%s%s", "%-", static_cast<int>(width), "s", HELP_COLUMN_GAP,
             "%s");

    for (int id = ENUM_ADVHELP; id < ENUM_END; id++) {
        const HELP_ENTRY_TYPE *help = get_help_entry(static_cast<ENUM_TYPE>(id), help_table);
        get_option_help_str(left_column, mask, static_cast<ENUM_TYPE>(id), option_table);
        if (left_column[0] == '\0')
            continue;
        char line[HELP_LINE_SIZE];
        snprintf(line, sizeof line, line_format, left_column, help->text);
        option_display_str(line);
    }
}

void optionm_contructor() {}

void optionm_destructor() {}
