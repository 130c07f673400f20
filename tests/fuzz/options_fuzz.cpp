// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzz target for the command line: fuzzed argument vectors through
// options_parse and translate_options, each checked against an independent
// model of the parser and of the option precedence, so a wrong answer fails
// as surely as a crash.
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cli/optionm.h"
#include "cli/options.h"
#include "flash/device_handler.h"
#include "fuzz_check.h"
#include "ipmi/bmc_fw.h"
#include "output/dup.h"
#include "output/print.h"

namespace {

constexpr size_t MAX_WORDS = 24;
constexpr char PROGRAM_NAME[] = "velmoran";
constexpr char INVALID_FILE_NAME_CHARACTERS[] = "*?+,;=[]";
constexpr int MAX_SYSTEM_ID = 0xFFFF;
constexpr size_t HEX_DIGITS_IN_32_BITS = 8;
constexpr uint8_t LOOP_FLAG_UNTOUCHED = 0;

struct Model {
    OPTION_RETURN_CODE_TYPE code = OPTION_VALID;
    std::string offending;
    bool flag[ENUM_END] = {};
    std::string argument[ENUM_END];
};

const OPTION_ENTRY_TYPE *find_row(const std::string &name)
{
    for (const OPTION_ENTRY_TYPE *row = CONST_OPTION_ENTRY_ARRAY; row->id != ENUM_END; row++)
        if (!name.empty() && name == row->name)
            return row;
    return nullptr;
}

// A system ID reads as sscanf "%x" reads it, but the number after the sign
// must fit in 32 bits: longer ones would lose their high digits.
bool model_system_id_fits(const std::string &argument)
{
    size_t at = 0;
    while (at < argument.size() && isspace(static_cast<unsigned char>(argument[at])))
        at++;
    if (at < argument.size() && (argument[at] == '+' || argument[at] == '-'))
        at++;
    if (argument.compare(at, 2, "0x") == 0 || argument.compare(at, 2, "0X") == 0)
        at += 2;
    while (at < argument.size() && argument[at] == '0')
        at++;
    size_t significant = 0;
    while (at < argument.size() && isxdigit(static_cast<unsigned char>(argument[at]))) {
        at++;
        significant++;
    }
    return significant <= HEX_DIGITS_IN_32_BITS;
}

OPTION_RETURN_CODE_TYPE model_argument_check(const std::string &argument, ENUM_TYPE id)
{
    if (id == ENUM_INPUT || id == ENUM_LOG) {
        if (argument.empty())
            return OPTION_ARGUMENT_EMPTY;
        if (argument.find_first_of(INVALID_FILE_NAME_CHARACTERS) != std::string::npos)
            return OPTION_ARGUMENT_INVALID_CHARACTER;
        return OPTION_VALID;
    }
    if (id == ENUM_SYSID) {
        if (argument.empty())
            return OPTION_ARGUMENT_EMPTY;
        unsigned value = 0;
        if (std::sscanf(argument.c_str(), "%x", &value) != 1 || !model_system_id_fits(argument))
            return OPTION_ARGUMENT_INVALID_SYSTEM_ID;
        // Compared as a signed number: negative ones pass.
        if (static_cast<int32_t>(value) > MAX_SYSTEM_ID)
            return OPTION_ARGUMENT_INVALID_SYSTEM_ID;
    }
    return OPTION_VALID;
}

OPTION_RETURN_CODE_TYPE model_word(const std::string &word, Model &model)
{
    // A word too long for the parser's buffers is refused whole, never cut.
    if (word.size() >= TEXT_FIELD_SIZE)
        return OPTION_INVALID;
    size_t equals = word.find('=');
    std::string name = word.substr(0, equals);
    bool has_argument = equals != std::string::npos;
    std::string argument = has_argument ? word.substr(equals + 1) : std::string();
    const OPTION_ENTRY_TYPE *row = find_row(name);
    if (row == nullptr)
        return OPTION_INVALID;
    bool wants_argument = row->argument == ARGUMENT_REQUIRED;
    if (has_argument != wants_argument)
        return wants_argument ? OPTION_ARGUMENT_REQUIRED : OPTION_ARGUMENT_NOT_ALLOWED;
    OPTION_RETURN_CODE_TYPE code = model_argument_check(argument, row->id);
    if (code != OPTION_VALID)
        return code;
    if (model.flag[row->id])
        return OPTION_DUPLICATE;
    model.flag[row->id] = true;
    model.argument[row->id] = argument;
    return OPTION_VALID;
}

Model model_parse(const std::vector<std::string> &words)
{
    Model model;
    for (const std::string &word : words) {
        model.code = model_word(word, model);
        if (model.code != OPTION_VALID) {
            model.offending = word;
            break;
        }
    }
    return model;
}

bool flag_of(const OPTION_STRUCTURE_TYPE &record, ENUM_TYPE id)
{
    const uint8_t flags[ENUM_END] = {
        record.advhelp, record.debug,   record.downgrade, record.force,      record.help,     record.input,
        record.log,     record.loop,    record.prompt,    record.quiet,      record.revision, record.serial,
        record.sysid,   record.version, record.xml,       record.xml_result,
    };
    FUZZ_CHECK(flags[id] <= 1, "flag %d holds %d, not 0 or 1", id, flags[id]);
    return flags[id] == 1;
}

void check_text_field(const char *field, const char *what)
{
    FUZZ_CHECK(memchr(field, '\0', TEXT_FIELD_SIZE) != nullptr, "%s is not terminated within %zu bytes", what,
               TEXT_FIELD_SIZE);
}

// The record's shape, and that the offending word is one of the vector's own
// words (or the empty text when nothing offended).
void check_parse_shape(char **argv, int argc, OPTION_RETURN_CODE_TYPE code, const OPTION_STRUCTURE_TYPE &record,
                       const char *offending)
{
    FUZZ_CHECK(code <= OPTION_ARGUMENT_REQUIRED, "parse result %d is not an option result code", code);
    FUZZ_CHECK(offending != nullptr, "no offending word handed back");
    check_text_field(record.input_argument, "input argument");
    check_text_field(record.log_argument, "log argument");
    check_text_field(record.sysid_argument, "sysid argument");
    for (int id = 0; id < ENUM_END; id++)
        flag_of(record, static_cast<ENUM_TYPE>(id));
    FUZZ_CHECK(record.serial == 0, "the serial flag has no option name but is set");
    if (code == OPTION_VALID) {
        FUZZ_CHECK(offending[0] == '\0', "a valid command line names offending text '%s'", offending);
        return;
    }
    bool is_a_word = false;
    for (int i = 1; i < argc; i++)
        is_a_word |= offending == argv[i];
    FUZZ_CHECK(is_a_word, "offending text '%s' is not one of the command line's words", offending);
}

void check_parse_against_model(const Model &model, OPTION_RETURN_CODE_TYPE code, const OPTION_STRUCTURE_TYPE &record,
                               const char *offending)
{
    FUZZ_CHECK(code == model.code, "parse result %d, expected %d", code, model.code);
    FUZZ_CHECK(model.offending == offending, "offending text '%s', expected '%s'", offending, model.offending.c_str());
    for (int id = 0; id < ENUM_END; id++)
        FUZZ_CHECK(flag_of(record, static_cast<ENUM_TYPE>(id)) == model.flag[id], "flag %d is %d, expected %d", id,
                   flag_of(record, static_cast<ENUM_TYPE>(id)), model.flag[id]);
    FUZZ_CHECK(model.argument[ENUM_INPUT] == record.input_argument, "input argument '%s', expected '%s'",
               record.input_argument, model.argument[ENUM_INPUT].c_str());
    FUZZ_CHECK(model.argument[ENUM_LOG] == record.log_argument, "log argument '%s', expected '%s'", record.log_argument,
               model.argument[ENUM_LOG].c_str());
    FUZZ_CHECK(model.argument[ENUM_SYSID] == record.sysid_argument, "sysid argument '%s', expected '%s'",
               record.sysid_argument, model.argument[ENUM_SYSID].c_str());
}

struct Settings {
    RETURN_CODE code = RC_SUCCESS;
    DISPLAY_STATE display = DISPLAY_NORMAL;
    FLASH_MODE flash = FLASH_NORMAL;
    XML_DISPLAY_OPTION xml = XML_NONE;
    uint8_t loop = LOOP_FLAG_UNTOUCHED;
    unsigned short system_id = 0;  // what get_system_id yields with no library loaded
    std::string data_file;
};

// The settings a parsed command line must leave behind: the first of the
// ranked options wins, debug and the argument options act regardless.
Settings model_translation(const Model &model, const char *default_data_file)
{
    Settings expected;
    expected.data_file = default_data_file;
    if (model.code != OPTION_VALID) {
        expected.code = RC_OPTION_ERROR;
        return expected;
    }
    const bool *flag = model.flag;
    FLASH_MODE force_or_downgrade = flag[ENUM_FORCE] ? FLASH_FORCE
        : flag[ENUM_DOWNGRADE]                       ? FLASH_DOWNGRADE
                                                     : FLASH_NO_DOWNGRADE;
    if (flag[ENUM_VERSION] || flag[ENUM_ADVHELP] || flag[ENUM_HELP]) {
        expected.code = RC_EXIT_OK;
    } else if (flag[ENUM_XML]) {
        expected.display = DISPLAY_XML;
        expected.xml = XML_INVENTORY;
    } else if (flag[ENUM_XML_RESULT]) {
        expected.display = DISPLAY_XML;
        expected.xml = XML_RESULT;
        expected.flash = force_or_downgrade;
    } else if (flag[ENUM_REVISION]) {
        expected.display = DISPLAY_REVISION;
    } else if (flag[ENUM_PROMPT]) {
        expected.flash = FLASH_PROMPT;
    } else if (flag[ENUM_QUIET]) {
        expected.display = DISPLAY_QUIET;
        expected.flash = force_or_downgrade;
    } else if (flag[ENUM_FORCE]) {
        expected.flash = FLASH_FORCE;
    } else if (flag[ENUM_DOWNGRADE]) {
        expected.flash = FLASH_DOWNGRADE;
    }
    if (flag[ENUM_DEBUG])
        expected.display = DISPLAY_DEBUG;
    if (flag[ENUM_INPUT])
        expected.data_file = model.argument[ENUM_INPUT];
    if (flag[ENUM_SYSID]) {
        unsigned value = 0;
        std::sscanf(model.argument[ENUM_SYSID].c_str(), "%x", &value);
        unsigned short fixed = static_cast<unsigned short>(value);
        expected.system_id = fixed == NO_FIXED_SYSTEM_ID ? 0 : fixed;
    }
    if (flag[ENUM_LOOP])
        expected.loop = 1;
    return expected;
}

void reset_settings()
{
    print_destructor();
    print_constructor();
    device_handler_constructor();
    set_xml_display(XML_NONE);
    set_system_id(NO_FIXED_SYSTEM_ID);
    options_contructor();
}

// Log file names come from the input: keep them inside the scratch folder.
std::string confine_log_argument(std::string word)
{
    for (const char *prefix : {"-l=", "-log="}) {
        if (word.rfind(prefix, 0) == 0) {
            for (size_t i = strlen(prefix); i < word.size(); i++)
                if (word[i] == '/')
                    word[i] = '_';
        }
    }
    return word;
}

std::vector<std::string> split_words(const uint8_t *data, size_t size)
{
    std::vector<std::string> words;
    std::string word;
    for (size_t i = 0; i < size && words.size() < MAX_WORDS; i++) {
        if (data[i] == '\0') {
            words.push_back(confine_log_argument(word));
            word.clear();
        } else {
            word.push_back(static_cast<char>(data[i]));
        }
    }
    if (!word.empty() && words.size() < MAX_WORDS)
        words.push_back(confine_log_argument(word));
    return words;
}

// A fresh, exactly sized argument vector on the heap each time, so that a read
// past any word or past the vector's end is caught.
struct ArgumentVector {
    std::vector<char *> pointers;
    explicit ArgumentVector(const std::vector<std::string> &words)
    {
        pointers.push_back(strdup(PROGRAM_NAME));
        for (const std::string &word : words)
            pointers.push_back(strdup(word.c_str()));
        pointers.push_back(nullptr);
    }
    ~ArgumentVector()
    {
        for (char *pointer : pointers)
            free(pointer);
    }
    ArgumentVector(const ArgumentVector &) = delete;
    ArgumentVector &operator=(const ArgumentVector &) = delete;
    int count() const { return static_cast<int>(pointers.size()) - 1; }
    char **vector() { return pointers.data(); }
};

// How a word must be shown, decoded by code point: anything that is not a
// well-formed UTF-8 character outside the control ranges becomes \xHH bytes.
std::string model_escaped(const std::string &word)
{
    constexpr uint32_t MIN_FOR_LENGTH[] = {0, 0, 0x80, 0x800, 0x10000};
    std::string shown;
    size_t at = 0;
    while (at < word.size()) {
        const auto lead = static_cast<unsigned char>(word[at]);
        size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
        uint32_t point = length == 1 ? lead : length == 2 ? lead & 0x1Fu : length == 3 ? lead & 0x0Fu : lead & 0x07u;
        bool good = length != 0 && at + length <= word.size();
        for (size_t i = 1; good && i < length; i++) {
            const auto next = static_cast<unsigned char>(word[at + i]);
            good = (next & 0xC0) == 0x80;
            point = (point << 6) | (next & 0x3Fu);
        }
        good = good && point >= MIN_FOR_LENGTH[length] && point <= 0x10FFFF && !(point >= 0xD800 && point <= 0xDFFF) &&
            point >= 0x20 && !(point >= 0x7F && point <= 0x9F);
        if (good) {
            shown.append(word, at, length);
            at += length;
        } else {
            char escape[8];
            snprintf(escape, sizeof escape, "\\x%02x", lead);
            shown += escape;
            at++;
        }
    }
    return shown;
}

void fuzz_escaping(const std::vector<std::string> &words)
{
    for (const std::string &word : words) {
        char *shown = escaped_word(word.c_str());
        FUZZ_CHECK(shown != nullptr, "no escaped text for a word of %zu bytes", word.size());
        const std::string expected = model_escaped(word);
        FUZZ_CHECK(expected == shown, "word shown as '%s', expected '%s'", shown, expected.c_str());
        for (const char *byte = shown; *byte != '\0'; byte++)
            FUZZ_CHECK(static_cast<unsigned char>(*byte) >= 0x20 && *byte != 0x7F, "control byte %#x shown raw",
                       static_cast<unsigned char>(*byte));
        free(shown);
    }
}

void fuzz_parser(const std::vector<std::string> &words)
{
    ArgumentVector arguments(words);
    auto *record = static_cast<OPTION_STRUCTURE_TYPE *>(malloc(sizeof(OPTION_STRUCTURE_TYPE)));
    memset(record, 0xA5, sizeof *record);
    const char *offending = nullptr;
    OPTION_RETURN_CODE_TYPE code = options_parse(arguments.count(), arguments.vector(), record, &offending);
    check_parse_shape(arguments.vector(), arguments.count(), code, *record, offending);
    check_parse_against_model(model_parse(words), code, *record, offending);
    FUZZ_CHECK(strcmp(option_return_code_str(code), "OPTION RETURN CODE UNKNOWN") != 0, "result %d has no text", code);
    free(record);
}

void fuzz_translation(const std::vector<std::string> &words)
{
    constexpr char DEFAULT_DATA_FILE[] = "fwpack.dat";
    reset_settings();
    ArgumentVector arguments(words);
    uint8_t loop = LOOP_FLAG_UNTOUCHED;
    DAT_FILE_INFO info{};
    strncpy(info.data_file_name, DEFAULT_DATA_FILE, sizeof info.data_file_name - 1);
    RETURN_CODE code = translate_options(arguments.count(), arguments.vector(), &loop, &info);
    close_log_file();

    FUZZ_CHECK(code == RC_SUCCESS || code == RC_EXIT_OK || code == RC_OPTION_ERROR,
               "translation result %d is none of 0, 22, 23", code);
    check_text_field(info.data_file_name, "data file name");
    FUZZ_CHECK(get_display_state() <= DISPLAY_REVISION, "display state %d", get_display_state());
    FUZZ_CHECK(get_flash_mode() <= FLASH_DOWNGRADE, "flash mode %d", get_flash_mode());
    FUZZ_CHECK(get_xml_display() <= XML_RESULT, "XML display %d", get_xml_display());

    Model model = model_parse(words);
    Settings expected = model_translation(model, DEFAULT_DATA_FILE);
    unsigned short system_id = 0xABCD;
    get_system_id(&system_id);
    FUZZ_CHECK(code == expected.code, "translation result %d, expected %d", code, expected.code);
    FUZZ_CHECK(get_display_state() == expected.display, "display state %d, expected %d", get_display_state(),
               expected.display);
    FUZZ_CHECK(get_flash_mode() == expected.flash, "flash mode %d, expected %d", get_flash_mode(), expected.flash);
    FUZZ_CHECK(get_xml_display() == expected.xml, "XML display %d, expected %d", get_xml_display(), expected.xml);
    FUZZ_CHECK(loop == expected.loop, "loop flag %d, expected %d", loop, expected.loop);
    FUZZ_CHECK(expected.data_file == info.data_file_name, "data file '%s', expected '%s'", info.data_file_name,
               expected.data_file.c_str());
    FUZZ_CHECK(system_id == expected.system_id, "system ID %#x, expected %#x", system_id, expected.system_id);
    if (model.flag[ENUM_LOG] && model.code == OPTION_VALID)
        unlink(model.argument[ENUM_LOG].c_str());
}

char scratch_folder[] = "/tmp/velmoran-options-fuzz-XXXXXX";

void remove_scratch_folder()
{
    rmdir(scratch_folder);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_report_stream();
    // Log files named by the input land in a private scratch folder, each
    // removed after its run.
    if (mkdtemp(scratch_folder) == nullptr || chdir(scratch_folder) != 0) {
        perror("scratch folder");
        abort();
    }
    atexit(remove_scratch_folder);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<std::string> words = split_words(data, size);
    fuzz_parser(words);
    fuzz_escaping(words);
    fuzz_translation(words);
    return 0;
}
