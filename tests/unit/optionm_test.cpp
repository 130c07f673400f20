// SPDX-License-Identifier: GPL-3.0-or-later
// Unit tests of the option-table module: the parser's verdict and offending
// word for each kind of command line, the parsed record, the result texts and
// the help listings byte for byte.
#include <gtest/gtest.h>

#include <cctype>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "cli/optionm.h"
#include "output/print.h"

namespace {

// Holds a command line as the operating system would hand it over.
struct CommandLine {
    explicit CommandLine(std::vector<std::string> words) : storage(std::move(words))
    {
        storage.insert(storage.begin(), "velmoran");
        for (std::string &word : storage)
            pointers.push_back(word.data());
        pointers.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(storage.size()); }
    char **argv() { return pointers.data(); }

    std::vector<std::string> storage;
    std::vector<char *> pointers;
};

struct ParseOutcome {
    OPTION_RETURN_CODE_TYPE result;
    std::string offending;
    OPTION_STRUCTURE_TYPE options;
};

ParseOutcome parse(std::vector<std::string> words)
{
    CommandLine line(std::move(words));
    ParseOutcome outcome{};
    memset(&outcome.options, 0xA5, sizeof outcome.options);  // neither 0 nor 1: stale bytes show
    const char *offending = nullptr;
    outcome.result = options_parse(line.argc(), line.argv(), &outcome.options, &offending);
    outcome.offending = offending == nullptr ? "<null>" : offending;
    return outcome;
}

struct ParseCase {
    const char *behaviour;
    std::vector<std::string> words;
    OPTION_RETURN_CODE_TYPE expected;
    std::string offending;
};

void PrintTo(const ParseCase &c, std::ostream *os)
{
    *os << c.behaviour;
}

class ParserVerdict : public testing::TestWithParam<ParseCase> {};

TEST_P(ParserVerdict, gives_the_result_and_the_offending_word)
{
    const ParseCase &c = GetParam();
    ParseOutcome outcome = parse(c.words);
    EXPECT_EQ(option_return_code_str(outcome.result), std::string(option_return_code_str(c.expected))) << c.behaviour;
    EXPECT_EQ(outcome.offending, c.offending) << c.behaviour;
}

const std::string LONG_PATH_249(249, 'p');

INSTANTIATE_TEST_SUITE_P(
    Words, ParserVerdict,
    testing::Values(
        ParseCase{"no words", {}, OPTION_VALID, ""},
        ParseCase{"every option once",
                  {"-d", "-f", "-h", "-i=a.dat", "-l=x.log", "-q", "-r", "-version", "-xml", "-fml", "-advhelp",
                   "-quordebug", "-prompt", "-sysid=16d", "-tloop"},
                  OPTION_VALID,
                  ""},
        ParseCase{
            "exact long names", {"-force", "-help", "-input=a", "-log=b", "-quiet", "-revision"}, OPTION_VALID, ""},
        ParseCase{"upper case name", {"-FORCE"}, OPTION_INVALID, "-FORCE"},
        ParseCase{"two leading dashes", {"--force"}, OPTION_INVALID, "--force"},
        ParseCase{"abbreviation", {"-forc"}, OPTION_INVALID, "-forc"},
        ParseCase{"name with trailing text", {"-fx"}, OPTION_INVALID, "-fx"},
        ParseCase{"empty word", {""}, OPTION_INVALID, ""},
        ParseCase{"word starting with equals", {"=a.dat"}, OPTION_INVALID, "=a.dat"},
        ParseCase{"lone equals", {"="}, OPTION_INVALID, "="},
        ParseCase{"argument required, none given", {"-input"}, OPTION_ARGUMENT_REQUIRED, "-input"},
        ParseCase{"argument as a separate word", {"-input", "a.dat"}, OPTION_ARGUMENT_REQUIRED, "-input"},
        ParseCase{"sysid without argument", {"-sysid"}, OPTION_ARGUMENT_REQUIRED, "-sysid"},
        ParseCase{"argument on a flag", {"-force=1"}, OPTION_ARGUMENT_NOT_ALLOWED, "-force=1"},
        ParseCase{"empty argument on a flag", {"-q="}, OPTION_ARGUMENT_NOT_ALLOWED, "-q="},
        ParseCase{"empty input argument", {"-input="}, OPTION_ARGUMENT_EMPTY, "-input="},
        ParseCase{"empty log argument", {"-l="}, OPTION_ARGUMENT_EMPTY, "-l="},
        ParseCase{"empty sysid argument", {"-sysid="}, OPTION_ARGUMENT_EMPTY, "-sysid="},
        ParseCase{"second equals in argument", {"-input=a=b"}, OPTION_ARGUMENT_INVALID_CHARACTER, "-input=a=b"},
        ParseCase{"star", {"-log=a*b"}, OPTION_ARGUMENT_INVALID_CHARACTER, "-log=a*b"},
        ParseCase{"question mark", {"-i=a?"}, OPTION_ARGUMENT_INVALID_CHARACTER, "-i=a?"},
        ParseCase{"plus", {"-i=+a"}, OPTION_ARGUMENT_INVALID_CHARACTER, "-i=+a"},
        ParseCase{"comma", {"-l=a,b"}, OPTION_ARGUMENT_INVALID_CHARACTER, "-l=a,b"},
        ParseCase{"semicolon", {"-log=a;b"}, OPTION_ARGUMENT_INVALID_CHARACTER, "-log=a;b"},
        ParseCase{"brackets", {"-input=[a"}, OPTION_ARGUMENT_INVALID_CHARACTER, "-input=[a"},
        ParseCase{"closing bracket", {"-input=a]"}, OPTION_ARGUMENT_INVALID_CHARACTER, "-input=a]"},
        ParseCase{"slashes, dots, dashes and blanks", {"-i=/tmp/my file-1.dat"}, OPTION_VALID, ""},
        ParseCase{"sysid ffff", {"-sysid=ffff"}, OPTION_VALID, ""},
        ParseCase{"sysid with 0x prefix", {"-sysid=0x1A"}, OPTION_VALID, ""},
        ParseCase{"sysid with upper-case prefix", {"-sysid=0X16D"}, OPTION_VALID, ""},
        ParseCase{"sysid with leading blanks", {"-sysid=  16d"}, OPTION_VALID, ""},
        ParseCase{"sysid followed by junk", {"-sysid=1Azz"}, OPTION_VALID, ""},
        ParseCase{"sysid minus one", {"-sysid=-1"}, OPTION_VALID, ""},
        ParseCase{"sysid plus sign", {"-sysid=+1a"}, OPTION_VALID, ""},
        ParseCase{"sysid reading negative", {"-sysid=80000000"}, OPTION_VALID, ""},
        ParseCase{"sysid all ones", {"-sysid=FFFFFFFF"}, OPTION_VALID, ""},
        ParseCase{"sysid just above 16 bits", {"-sysid=10000"}, OPTION_ARGUMENT_INVALID_SYSTEM_ID, "-sysid=10000"},
        ParseCase{"sysid largest positive", {"-sysid=7fffffff"}, OPTION_ARGUMENT_INVALID_SYSTEM_ID, "-sysid=7fffffff"},
        ParseCase{"sysid past 32 bits", {"-sysid=100000000"}, OPTION_ARGUMENT_INVALID_SYSTEM_ID, "-sysid=100000000"},
        ParseCase{"sysid far past 32 bits",
                  {"-sysid=123456789abcdef0123"},
                  OPTION_ARGUMENT_INVALID_SYSTEM_ID,
                  "-sysid=123456789abcdef0123"},
        ParseCase{"sysid not hexadecimal", {"-sysid=zz"}, OPTION_ARGUMENT_INVALID_SYSTEM_ID, "-sysid=zz"},
        ParseCase{"sysid blanks only", {"-sysid=   "}, OPTION_ARGUMENT_INVALID_SYSTEM_ID, "-sysid=   "},
        ParseCase{"sysid sign only", {"-sysid=-"}, OPTION_ARGUMENT_INVALID_SYSTEM_ID, "-sysid=-"},
        ParseCase{"same flag twice", {"-q", "-q"}, OPTION_DUPLICATE, "-q"},
        ParseCase{"short then long name", {"-f", "-force"}, OPTION_DUPLICATE, "-force"},
        ParseCase{"long then short name", {"-help", "-h"}, OPTION_DUPLICATE, "-h"},
        ParseCase{"two input files", {"-i=a.dat", "-input=b.dat"}, OPTION_DUPLICATE, "-input=b.dat"},
        ParseCase{"two system ids", {"-sysid=1", "-sysid=2"}, OPTION_DUPLICATE, "-sysid=2"},
        ParseCase{"stops at the first bad word", {"-q", "-badopt", "-q"}, OPTION_INVALID, "-badopt"},
        ParseCase{"first of two bad words", {"-input", "-force=1"}, OPTION_ARGUMENT_REQUIRED, "-input"},
        ParseCase{"word of 255 characters", {"-input=" + std::string(248, 'p')}, OPTION_VALID, ""},
        ParseCase{"word of 256 characters", {"-input=" + LONG_PATH_249}, OPTION_INVALID, "-input=" + LONG_PATH_249},
        ParseCase{"very long word after a good one",
                  {"-q", "-log=" + std::string(5000, 'l')},
                  OPTION_INVALID,
                  "-log=" + std::string(5000, 'l')},
        ParseCase{"long unknown word", {std::string(300, 'x')}, OPTION_INVALID, std::string(300, 'x')}),
    [](const testing::TestParamInfo<ParseCase> &info) {
        std::string name = info.param.behaviour;
        for (char &c : name)
            if (!isalnum(static_cast<unsigned char>(c)))
                c = '_';
        return name;
    });

TEST(OptionParser, each_option_sets_only_its_own_flag_byte)
{
    const std::pair<const char *, size_t> words[] = {
        {"-advhelp", offsetof(OPTION_STRUCTURE_TYPE, advhelp)},
        {"-quordebug", offsetof(OPTION_STRUCTURE_TYPE, debug)},
        {"-d", offsetof(OPTION_STRUCTURE_TYPE, downgrade)},
        {"-force", offsetof(OPTION_STRUCTURE_TYPE, force)},
        {"-h", offsetof(OPTION_STRUCTURE_TYPE, help)},
        {"-tloop", offsetof(OPTION_STRUCTURE_TYPE, loop)},
        {"-prompt", offsetof(OPTION_STRUCTURE_TYPE, prompt)},
        {"-q", offsetof(OPTION_STRUCTURE_TYPE, quiet)},
        {"-revision", offsetof(OPTION_STRUCTURE_TYPE, revision)},
        {"-version", offsetof(OPTION_STRUCTURE_TYPE, version)},
        {"-xml", offsetof(OPTION_STRUCTURE_TYPE, xml)},
        {"-fml", offsetof(OPTION_STRUCTURE_TYPE, xml_result)},
    };
    for (const auto &[word, offset] : words) {
        ParseOutcome outcome = parse({word});
        ASSERT_EQ(outcome.result, OPTION_VALID) << word;
        const auto *bytes = reinterpret_cast<const uint8_t *>(&outcome.options);
        for (size_t i = 0; i < sizeof outcome.options; i++)
            ASSERT_EQ(bytes[i], i == offset ? 1 : 0) << word << ": byte " << i;
    }
}

TEST(OptionParser, records_every_flag_and_argument_of_a_full_command_line)
{
    ParseOutcome outcome =
        parse({"-d", "-force", "-help", "-input=/tmp/a b.dat", "-log=/var/log/update.log", "-quiet", "-r", "-version",
               "-xml", "-fml", "-advhelp", "-quordebug", "-prompt", "-sysid=0x16D", "-tloop"});
    ASSERT_EQ(outcome.result, OPTION_VALID);
    const OPTION_STRUCTURE_TYPE &o = outcome.options;
    const uint8_t flags[] = {o.advhelp, o.debug, o.downgrade, o.force, o.help,    o.input, o.log,       o.loop,
                             o.prompt,  o.quiet, o.revision,  o.sysid, o.version, o.xml,   o.xml_result};
    for (size_t i = 0; i < sizeof flags; i++)
        EXPECT_EQ(flags[i], 1) << "flag " << i;
    EXPECT_EQ(o.serial, 0) << "no word sets the serial flag";
    EXPECT_STREQ(o.input_argument, "/tmp/a b.dat");
    EXPECT_STREQ(o.log_argument, "/var/log/update.log");
    EXPECT_STREQ(o.sysid_argument, "0x16D");
}

TEST(OptionParser, clears_the_whole_record_when_nothing_is_given)
{
    ParseOutcome outcome = parse({});
    const auto *bytes = reinterpret_cast<const uint8_t *>(&outcome.options);
    for (size_t i = 0; i < sizeof outcome.options; i++)
        ASSERT_EQ(bytes[i], 0) << "byte " << i;
}

TEST(OptionParser, keeps_the_words_before_a_bad_one_and_nothing_after)
{
    ParseOutcome outcome = parse({"-i=first.dat", "-q", "-nope", "-force", "-log=late.log"});
    EXPECT_EQ(outcome.result, OPTION_INVALID);
    EXPECT_EQ(outcome.options.input, 1);
    EXPECT_STREQ(outcome.options.input_argument, "first.dat");
    EXPECT_EQ(outcome.options.quiet, 1);
    EXPECT_EQ(outcome.options.force, 0);
    EXPECT_EQ(outcome.options.log, 0);
    EXPECT_STREQ(outcome.options.log_argument, "");
}

TEST(OptionParser, a_duplicate_keeps_the_first_argument)
{
    ParseOutcome outcome = parse({"-i=a.dat", "-input=b.dat"});
    EXPECT_EQ(outcome.result, OPTION_DUPLICATE);
    EXPECT_STREQ(outcome.options.input_argument, "a.dat");
}

TEST(OptionParser, keeps_an_argument_of_the_longest_length_whole)
{
    const std::string argument(248, 'p');
    ParseOutcome outcome = parse({"-input=" + argument});
    ASSERT_EQ(outcome.result, OPTION_VALID);
    EXPECT_EQ(std::string(outcome.options.input_argument), argument);
}

TEST(OptionParser, return_code_texts)
{
    const std::pair<int, const char *> texts[] = {
        {0, "OPTION INVALID"},
        {1, "OPTION DUPLICATE"},
        {2, "OPTION VALID"},
        {3, "ARGUMENT EMPTY"},
        {4, "ARGUMENT INVALID CHARACTER"},
        {5, "ARGUMENT INVALID SYSTEM ID"},
        {6, "ARGUMENT NOT ALLOWED"},
        {7, "ARGUMENT REQUIRED"},
        {8, "OPTION RETURN CODE UNKNOWN"},
        {9, "OPTION RETURN CODE UNKNOWN"},
        {255, "OPTION RETURN CODE UNKNOWN"},
    };
    for (const auto &[code, text] : texts)
        EXPECT_STREQ(option_return_code_str(static_cast<OPTION_RETURN_CODE_TYPE>(code)), text) << "code " << code;
}

class HelpListing : public testing::Test {
protected:
    void SetUp() override { print_constructor(); }

    static std::string listing(int mask)
    {
        testing::internal::CaptureStdout();
        option_help_show(mask);
        return testing::internal::GetCapturedStdout();
    }
};

TEST_F(HelpListing, normal_listing_is_byte_exact)
{
    EXPECT_EQ(listing(HELP_NORMAL),
              "-d                   Allow downgrade of firmware without asking.\n"
              "-f, -force           Force flash all devices.\n"
              "-h, -help            Show command line options with descriptions.\n"
              "-i, -input=argument  Argument is name of alternate data file to use.\n"
              "-l, -log=argument    Log all messages to file specified by argument.\n"
              "-q, -quiet           Quiet mode. No prompts. Display error messages ONLY.\n"
              "-r, -revision        Display firmware and data file revisions then exit.\n"
              "-version             Display version of this flash program.\n");
}

TEST_F(HelpListing, advanced_listing_is_in_identifier_order)
{
    EXPECT_EQ(listing(HELP_ADVANCED),
              "-advhelp         Display advanced options help.\n"
              "-quordebug       Enable extra Quor debug messages.\n"
              "-tloop           Loop flashing forever.\n"
              "-prompt          Prompt user before flashing each device.\n"
              "-sysid=argument  Use specified system ID. Argument is a hex number.\n"
              "-xml             Produce inventory output in XML format.\n"
              "-fml             Flash with result in XML format.\n");
}

TEST_F(HelpListing, short_names_alone_carry_the_argument_and_skip_long_only_options)
{
    EXPECT_EQ(listing(HELP_STANDARD),
              "-d           Allow downgrade of firmware without asking.\n"
              "-f           Force flash all devices.\n"
              "-h           Show command line options with descriptions.\n"
              "-i=argument  Argument is name of alternate data file to use.\n"
              "-l=argument  Log all messages to file specified by argument.\n"
              "-q           Quiet mode. No prompts. Display error messages ONLY.\n"
              "-r           Display firmware and data file revisions then exit.\n");
}

TEST_F(HelpListing, empty_mask_prints_nothing)
{
    EXPECT_EQ(listing(0), "");
}

TEST_F(HelpListing, option_without_help_row_shows_its_names_and_an_empty_text)
{
    const OPTION_ENTRY_TYPE options[] = {
        {"-a", ENUM_SERIAL, ARGUMENT_NOT_ALLOWED, HELP_STANDARD},
        {"-b", ENUM_DEBUG, ARGUMENT_REQUIRED, HELP_CLI},
        {"-alpha", ENUM_SERIAL, ARGUMENT_REQUIRED, HELP_STANDARD},
        {"-beta", ENUM_DEBUG, ARGUMENT_NOT_ALLOWED, HELP_CLI},
        {"", ENUM_END, ARGUMENT_NOT_ALLOWED, HELP_STANDARD},
    };
    const HELP_ENTRY_TYPE help[] = {{ENUM_DEBUG, "Debug."}, {ENUM_END, ""}};
    testing::internal::CaptureStdout();
    help_show(HELP_NORMAL, help, options);
    // The argument suffix follows the last matching row's policy; names keep table order.
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "-b, -beta            Debug.\n"
              "-a, -alpha=argument  \n");
}

}  // namespace
