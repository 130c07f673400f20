// SPDX-License-Identifier: GPL-3.0-or-later
// Option translation: turns the parsed command line into the other modules'
// settings, answers the version and help requests, reports a rejected command
// line and places the version banner. It keeps no state of its own.
#include "cli/options.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/main.h"
#include "cli/optionm.h"
#include "flash/device_handler.h"
#include "ipmi/bmc_fw.h"
#include "output/dup.h"
#include "output/print.h"

namespace {

constexpr uint16_t SYSTEM_ID_MASK = 0xFFFF;

void report_rejected_word(OPTION_RETURN_CODE_TYPE result, const char *word)
{
    static constexpr char ERROR_FORMAT[] = "   %s   [%s]\n\n";
    display_flash_rev();
    // The word is shown whole, however long, so the user sees exactly what
    // was refused, but escaped, so that it cannot drive the terminal.
    const char *reason = option_return_code_str(result);
    char *shown = escaped_word(word);
    if (shown != nullptr) {
        size_t size = sizeof ERROR_FORMAT + strlen(reason) + strlen(shown);
        char *line = static_cast<char *>(malloc(size));
        if (line != nullptr) {
            snprintf(line, size, ERROR_FORMAT, reason, shown);
            display_redirection(PRT_ERROR, line);
            free(line);
        }
        free(shown);
    }
    option_help_show(HELP_NORMAL);
}

// Quiet and XML-result runs never downgrade unless asked to on the same line.
void apply_force_or_downgrade(const OPTION_STRUCTURE_TYPE &options)
{
    if (options.force)
        set_flash_mode(FLASH_FORCE);
    else if (options.downgrade)
        set_flash_mode(FLASH_DOWNGRADE);
}

// The first set flag in this order decides; the ones below it are ignored.
RETURN_CODE apply_leading_option(const OPTION_STRUCTURE_TYPE &options)
{
    if (options.version) {
        display_flash_rev();
        return RC_EXIT_OK;
    }
    if (options.advhelp) {
        display_flash_rev();
        display_redirection(PRT_HELP, "   === help normal ===\n");
        option_help_show(HELP_NORMAL);
        display_redirection(PRT_HELP, "   === help advanced ===\n");
        option_help_show(HELP_ADVANCED);
        return RC_EXIT_OK;
    }
    if (options.help) {
        display_flash_rev();
        display_redirection(PRT_HELP, "\n   Valid Options are:");
        display_redirection(PRT_HELP, "\n");
        option_help_show(HELP_NORMAL);
        return RC_EXIT_OK;
    }
    if (options.xml) {
        set_display_state(DISPLAY_XML);
        set_xml_display(XML_INVENTORY);
    } else if (options.xml_result) {
        set_display_state(DISPLAY_XML);
        set_xml_display(XML_RESULT);
        set_flash_mode(FLASH_NO_DOWNGRADE);
        apply_force_or_downgrade(options);
    } else if (options.revision) {
        set_display_state(DISPLAY_REVISION);
    } else if (options.prompt) {
        set_flash_mode(FLASH_PROMPT);
    } else if (options.quiet) {
        set_display_state(DISPLAY_QUIET);
        set_flash_mode(FLASH_NO_DOWNGRADE);
        apply_force_or_downgrade(options);
    } else if (options.force) {
        set_flash_mode(FLASH_FORCE);
    } else if (options.downgrade) {
        set_flash_mode(FLASH_DOWNGRADE);
    }
    return RC_SUCCESS;
}

void apply_system_id(const char *argument)
{
    // The parser has made sure a number can be read and is not above 0xFFFF.
    unsigned int value = 0;
    sscanf(argument, "%x", &value);
    const uint16_t system_id = static_cast<uint16_t>(value & SYSTEM_ID_MASK);
    set_system_id(system_id);
    char text[TEXT_FIELD_SIZE];
    snprintf(text, sizeof text, "   Sys ID %x \n", static_cast<unsigned int>(system_id));
    display_redirection(PRT_INFO, text);
}

}  // namespace

RETURN_CODE translate_options(int argc, char **argv, uint8_t *loop_flag, DAT_FILE_INFO *info)
{
    OPTION_STRUCTURE_TYPE options;
    const char *offending_word = "";
    OPTION_RETURN_CODE_TYPE result = options_parse(argc, argv, &options, &offending_word);
    if (result != OPTION_VALID) {
        report_rejected_word(result, offending_word);
        return RC_OPTION_ERROR;
    }

    // Opened before anything else takes effect, so the log also gets the
    // banner and the help listings; a log that cannot be created is reported
    // by the print module and does not stop the run.
    if (options.log) {
        guard_from_log(LOG_GUARD_DATA_FILE, options.input ? options.input_argument : info->data_file_name);
        set_log_file(options.log_argument, argc, argv);
    }

    RETURN_CODE code = apply_leading_option(options);

    if (options.debug)
        set_display_state(DISPLAY_DEBUG);
    if (options.input)
        snprintf(info->data_file_name, sizeof info->data_file_name, "%s", options.input_argument);
    if (options.sysid)
        apply_system_id(options.sysid_argument);
    if (options.loop)
        *loop_flag = 1;

    display_flash_rev();
    return code;
}

void options_contructor()
{
    optionm_contructor();
}

void options_destructor()
{
    optionm_destructor();
}
