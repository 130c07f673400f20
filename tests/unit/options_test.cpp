// SPDX-License-Identifier: GPL-3.0-or-later
// Unit tests of option translation: which settings each command line leaves
// in force, the exact console output with the banner's place, the log file
// and the rejected command line. Each translation runs in a child process,
// because the banner is printed at most once per process.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "app/main.h"
#include "cli/options.h"
#include "flash/device_handler.h"
#include "ipmi/bmc_fw.h"
#include "output/dup.h"
#include "output/print.h"

namespace {

const std::string BANNER = "\n   Velmoran Version:  1.09 \n   Copyright (c) 2026 The Velmoran Developers\n";
const std::string NORMAL_HELP = "-d                   Allow downgrade of firmware without asking.\n"
                                "-f, -force           Force flash all devices.\n"
                                "-h, -help            Show command line options with descriptions.\n"
                                "-i, -input=argument  Argument is name of alternate data file to use.\n"
                                "-l, -log=argument    Log all messages to file specified by argument.\n"
                                "-q, -quiet           Quiet mode. No prompts. Display error messages ONLY.\n"
                                "-r, -revision        Display firmware and data file revisions then exit.\n"
                                "-version             Display version of this flash program.\n";
const std::string ADVANCED_HELP = "-advhelp         Display advanced options help.\n"
                                  "-quordebug       Enable extra Quor debug messages.\n"
                                  "-tloop           Loop flashing forever.\n"
                                  "-prompt          Prompt user before flashing each device.\n"
                                  "-sysid=argument  Use specified system ID. Argument is a hex number.\n"
                                  "-xml             Produce inventory output in XML format.\n"
                                  "-fml             Flash with result in XML format.\n";

// What one translation left behind, sent from the child to the test.
struct Settings {
    RETURN_CODE code;
    DISPLAY_STATE display;
    FLASH_MODE flash;
    XML_DISPLAY_OPTION xml;
    unsigned short system_id;
    uint8_t loop_flag;
    char data_file_name[TEXT_FIELD_SIZE];
};

struct Translation {
    Settings settings{};
    std::string out;
    std::string err;
    std::string directory;  // the child's current directory, for files it made
};

std::string read_file(const std::string &path)
{
    std::ifstream file(path, std::ios::binary);
    std::stringstream content;
    content << file.rdbuf();
    return content.str();
}

bool file_exists(const std::string &path)
{
    return access(path.c_str(), F_OK) == 0;
}

// Runs the start of the program as main does it: constructors, then translation.
Translation translate(std::vector<std::string> words)
{
    words.insert(words.begin(), "velmoran");
    std::vector<char *> argv;
    for (std::string &word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);

    Translation result;
    char directory[] = "/tmp/velmoran_options_XXXXXX";
    if (mkdtemp(directory) == nullptr) {
        ADD_FAILURE() << "no temporary directory";
        return result;
    }
    result.directory = directory;
    const std::string out_path = result.directory + "/.stdout", err_path = result.directory + "/.stderr";
    int channel[2];
    if (pipe(channel) != 0) {
        ADD_FAILURE() << "no pipe";
        return result;
    }
    fflush(nullptr);
    pid_t child = fork();
    if (child == 0) {
        close(channel[0]);
        if (chdir(directory) != 0 || !freopen(out_path.c_str(), "w", stdout) || !freopen(err_path.c_str(), "w", stderr))
            _exit(2);
        DAT_FILE_INFO info{};
        snprintf(info.data_file_name, sizeof info.data_file_name, "fwpack.dat");
        uint8_t loop_flag = 0;
        main_constructor();
        Settings settings{};
        settings.code = translate_options(static_cast<int>(words.size()), argv.data(), &loop_flag, &info);
        settings.display = get_display_state();
        settings.flash = get_flash_mode();
        settings.xml = get_xml_display();
        get_system_id(&settings.system_id);
        settings.loop_flag = loop_flag;
        memcpy(settings.data_file_name, info.data_file_name, sizeof settings.data_file_name);
        fflush(nullptr);
        bool sent = write(channel[1], &settings, sizeof settings) == static_cast<ssize_t>(sizeof settings);
        _exit(sent ? 0 : 3);
    }
    close(channel[1]);
    ssize_t received = read(channel[0], &result.settings, sizeof result.settings);
    close(channel[0]);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "translation child ended badly";
    EXPECT_EQ(received, static_cast<ssize_t>(sizeof result.settings));
    result.out = read_file(out_path);
    result.err = read_file(err_path);
    return result;
}

struct PrecedenceCase {
    const char *behaviour;
    std::vector<std::string> words;
    RETURN_CODE code;
    DISPLAY_STATE display;
    FLASH_MODE flash;
    XML_DISPLAY_OPTION xml;
    uint8_t loop_flag;
};

void PrintTo(const PrecedenceCase &c, std::ostream *os)
{
    *os << c.behaviour;
}

class Precedence : public testing::TestWithParam<PrecedenceCase> {};

TEST_P(Precedence, leaves_the_expected_settings)
{
    const PrecedenceCase &c = GetParam();
    Translation t = translate(c.words);
    EXPECT_EQ(t.settings.code, c.code);
    EXPECT_EQ(t.settings.display, c.display);
    EXPECT_EQ(t.settings.flash, c.flash);
    EXPECT_EQ(t.settings.xml, c.xml);
    EXPECT_EQ(t.settings.loop_flag, c.loop_flag);
    EXPECT_STREQ(t.settings.data_file_name, "fwpack.dat");
}

INSTANTIATE_TEST_SUITE_P(
    Options, Precedence,
    testing::Values(
        PrecedenceCase{"no options", {}, RC_SUCCESS, DISPLAY_NORMAL, FLASH_NORMAL, XML_NONE, 0},
        PrecedenceCase{"version beats quiet and xml",
                       {"-quiet", "-xml", "-version"},
                       RC_EXIT_OK,
                       DISPLAY_NORMAL,
                       FLASH_NORMAL,
                       XML_NONE,
                       0},
        PrecedenceCase{"help beats quiet", {"-help", "-quiet"}, RC_EXIT_OK, DISPLAY_NORMAL, FLASH_NORMAL, XML_NONE, 0},
        PrecedenceCase{"advanced help", {"-advhelp", "-force"}, RC_EXIT_OK, DISPLAY_NORMAL, FLASH_NORMAL, XML_NONE, 0},
        PrecedenceCase{
            "prompt beats quiet", {"-quiet", "-prompt"}, RC_SUCCESS, DISPLAY_NORMAL, FLASH_PROMPT, XML_NONE, 0},
        PrecedenceCase{
            "prompt beats force", {"-prompt", "-force"}, RC_SUCCESS, DISPLAY_NORMAL, FLASH_PROMPT, XML_NONE, 0},
        PrecedenceCase{"force beats downgrade", {"-d", "-force"}, RC_SUCCESS, DISPLAY_NORMAL, FLASH_FORCE, XML_NONE, 0},
        PrecedenceCase{"downgrade", {"-d"}, RC_SUCCESS, DISPLAY_NORMAL, FLASH_DOWNGRADE, XML_NONE, 0},
        PrecedenceCase{"quiet never downgrades", {"-q"}, RC_SUCCESS, DISPLAY_QUIET, FLASH_NO_DOWNGRADE, XML_NONE, 0},
        PrecedenceCase{
            "quiet with downgrade", {"-quiet", "-d"}, RC_SUCCESS, DISPLAY_QUIET, FLASH_DOWNGRADE, XML_NONE, 0},
        PrecedenceCase{"quiet with force", {"-quiet", "-f"}, RC_SUCCESS, DISPLAY_QUIET, FLASH_FORCE, XML_NONE, 0},
        PrecedenceCase{
            "quiet with force and downgrade", {"-d", "-q", "-f"}, RC_SUCCESS, DISPLAY_QUIET, FLASH_FORCE, XML_NONE, 0},
        PrecedenceCase{"xml result", {"-fml"}, RC_SUCCESS, DISPLAY_XML, FLASH_NO_DOWNGRADE, XML_RESULT, 0},
        PrecedenceCase{
            "xml result with force", {"-fml", "-force"}, RC_SUCCESS, DISPLAY_XML, FLASH_FORCE, XML_RESULT, 0},
        PrecedenceCase{
            "xml result with downgrade", {"-d", "-fml"}, RC_SUCCESS, DISPLAY_XML, FLASH_DOWNGRADE, XML_RESULT, 0},
        PrecedenceCase{
            "inventory beats xml result", {"-fml", "-xml"}, RC_SUCCESS, DISPLAY_XML, FLASH_NORMAL, XML_INVENTORY, 0},
        PrecedenceCase{
            "inventory ignores force", {"-xml", "-force"}, RC_SUCCESS, DISPLAY_XML, FLASH_NORMAL, XML_INVENTORY, 0},
        PrecedenceCase{
            "revision beats quiet", {"-revision", "-quiet"}, RC_SUCCESS, DISPLAY_REVISION, FLASH_NORMAL, XML_NONE, 0},
        PrecedenceCase{
            "revision beats xml result", {"-fml", "-r"}, RC_SUCCESS, DISPLAY_XML, FLASH_NO_DOWNGRADE, XML_RESULT, 0},
        PrecedenceCase{"debug replaces quiet",
                       {"-quordebug", "-quiet"},
                       RC_SUCCESS,
                       DISPLAY_DEBUG,
                       FLASH_NO_DOWNGRADE,
                       XML_NONE,
                       0},
        PrecedenceCase{"debug replaces the xml display state only",
                       {"-xml", "-quordebug"},
                       RC_SUCCESS,
                       DISPLAY_DEBUG,
                       FLASH_NORMAL,
                       XML_INVENTORY,
                       0},
        PrecedenceCase{"debug replaces revision",
                       {"-revision", "-quordebug"},
                       RC_SUCCESS,
                       DISPLAY_DEBUG,
                       FLASH_NORMAL,
                       XML_NONE,
                       0},
        PrecedenceCase{"debug acts after version",
                       {"-version", "-quordebug"},
                       RC_EXIT_OK,
                       DISPLAY_DEBUG,
                       FLASH_NORMAL,
                       XML_NONE,
                       0},
        PrecedenceCase{"loop", {"-tloop"}, RC_SUCCESS, DISPLAY_NORMAL, FLASH_NORMAL, XML_NONE, 1},
        PrecedenceCase{
            "loop is set even with help", {"-tloop", "-help"}, RC_EXIT_OK, DISPLAY_NORMAL, FLASH_NORMAL, XML_NONE, 1},
        PrecedenceCase{"rejected line changes nothing",
                       {"-tloop", "-quiet", "-force", "-xml", "-bad"},
                       RC_OPTION_ERROR,
                       DISPLAY_NORMAL,
                       FLASH_NORMAL,
                       XML_NONE,
                       0},
        PrecedenceCase{"duplicate changes nothing",
                       {"-fml", "-q", "-quiet"},
                       RC_OPTION_ERROR,
                       DISPLAY_NORMAL,
                       FLASH_NORMAL,
                       XML_NONE,
                       0}),
    [](const testing::TestParamInfo<PrecedenceCase> &info) {
        std::string name = info.param.behaviour;
        for (char &c : name)
            if (!isalnum(static_cast<unsigned char>(c)))
                c = '_';
        return name;
    });

struct OutputCase {
    const char *behaviour;
    std::vector<std::string> words;
    std::string out;
    std::string err;
};

void PrintTo(const OutputCase &c, std::ostream *os)
{
    *os << c.behaviour;
}

class ConsoleOutput : public testing::TestWithParam<OutputCase> {};

TEST_P(ConsoleOutput, is_byte_exact)
{
    const OutputCase &c = GetParam();
    Translation t = translate(c.words);
    EXPECT_EQ(t.out, c.out);
    EXPECT_EQ(t.err, c.err);
}

const std::string LONG_WORD = "-input=" + std::string(400, 'w');

INSTANTIATE_TEST_SUITE_P(
    Options, ConsoleOutput,
    testing::Values(
        OutputCase{"banner at the end", {"-force"}, BANNER, ""},
        OutputCase{"help despite quiet", {"-quiet", "-help"}, BANNER + "\n   Valid Options are:\n" + NORMAL_HELP, ""},
        OutputCase{"advanced help wins over help",
                   {"-help", "-advhelp"},
                   BANNER + "   === help normal ===\n" + NORMAL_HELP + "   === help advanced ===\n" + ADVANCED_HELP,
                   ""},
        OutputCase{"quiet hides the banner", {"-q"}, "", ""}, OutputCase{"xml hides the banner", {"-xml"}, "", ""},
        OutputCase{"xml result hides the banner", {"-fml"}, "", ""},
        OutputCase{"revision shows the banner", {"-r"}, BANNER, ""},
        OutputCase{"debug shows the banner despite quiet", {"-q", "-quordebug"}, BANNER, ""},
        OutputCase{"system id line before the banner", {"-sysid=0x01A"}, "   Sys ID 1a \n" + BANNER, ""},
        OutputCase{"system id after the version banner", {"-version", "-sysid=1a"}, BANNER + "   Sys ID 1a \n", ""},
        OutputCase{"negative system id uses its low bits", {"-sysid=-1"}, "   Sys ID ffff \n" + BANNER, ""},
        OutputCase{"eight-digit system id uses its low bits", {"-sysid=8000ABCD"}, "   Sys ID abcd \n" + BANNER, ""},
        OutputCase{"system id line hidden when quiet", {"-sysid=16d", "-q"}, "", ""},
        OutputCase{"unknown word", {"-q", "-badopt", "-q"}, BANNER + NORMAL_HELP, "   OPTION INVALID   [-badopt]\n\n"},
        OutputCase{"rejected before quiet could act",
                   {"-quiet", "-log="},
                   BANNER + NORMAL_HELP,
                   "   ARGUMENT EMPTY   [-log=]\n\n"},
        OutputCase{"overlong word shown whole",
                   {"-q", LONG_WORD},
                   BANNER + NORMAL_HELP,
                   "   OPTION INVALID   [" + LONG_WORD + "]\n\n"}),
    [](const testing::TestParamInfo<OutputCase> &info) {
        std::string name = info.param.behaviour;
        for (char &c : name)
            if (!isalnum(static_cast<unsigned char>(c)))
                c = '_';
        return name;
    });

TEST(OptionTranslation, input_replaces_the_data_file_name)
{
    const std::string longest(248, 'd');
    for (const std::string &name : {std::string("other.dat"), std::string("/srv/packs/fw 2.dat"), longest}) {
        Translation t = translate({"-input=" + name});
        EXPECT_EQ(t.settings.code, RC_SUCCESS);
        EXPECT_EQ(std::string(t.settings.data_file_name), name);
    }
}

TEST(OptionTranslation, system_id_is_fixed_to_the_low_16_bits)
{
    const std::pair<const char *, unsigned short> cases[] = {
        {"-sysid=0x01A", 0x001A},
        {"-sysid=16D", 0x016D},
        {"-sysid=8001016e", 0x016E},
        {"-sysid=-0x10000", 0x0000},
    };
    for (const auto &[word, system_id] : cases) {
        Translation t = translate({word});
        EXPECT_EQ(t.settings.system_id, system_id) << word;
    }
}

TEST(OptionTranslation, log_opened_first_receives_banner_and_help)
{
    Translation t = translate({"-help", "-log=help.txt"});
    EXPECT_EQ(t.settings.code, RC_EXIT_OK);
    EXPECT_EQ(read_file(t.directory + "/help.txt"),
              "velmoran -help -log=help.txt \n" + BANNER + "\n   Valid Options are:\n" + NORMAL_HELP);
}

TEST(OptionTranslation, log_gets_the_banner_hidden_from_the_quiet_console)
{
    Translation t = translate({"-l=run.log", "-sysid=1a", "-q"});
    EXPECT_EQ(t.out, "");
    EXPECT_EQ(read_file(t.directory + "/run.log"), "velmoran -l=run.log -sysid=1a -q \n   Sys ID 1a \n" + BANNER);
}

TEST(OptionTranslation, rejected_line_opens_no_log)
{
    Translation t = translate({"-log=run.log", "-badopt"});
    EXPECT_EQ(t.settings.code, RC_OPTION_ERROR);
    EXPECT_FALSE(file_exists(t.directory + "/run.log"));
}

TEST(OptionTranslation, log_that_cannot_be_created_does_not_stop_the_run)
{
    Translation t = translate({"-log=missing-dir/run.log", "-d"});
    EXPECT_EQ(t.settings.code, RC_SUCCESS);
    EXPECT_EQ(t.settings.flash, FLASH_DOWNGRADE);
    EXPECT_EQ(t.err, " Cannot create missing-dir/run.log \n");
    EXPECT_EQ(t.out, BANNER);
}

}  // namespace
