// SPDX-License-Identifier: GPL-3.0-or-later
// The file buffer and its cursor, and the CRC checks over it: results,
// cursor positions and the exact console text of every path.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "datafile/datafile_format.h"
#include "datafile/file_handler.h"
#include "datafile_fixtures.h"
#include "output/print.h"

namespace {

using fixtures::Bytes;
using fixtures::Console;
using fixtures::ScratchFile;

const std::string LOAD_TEXT = "\r   Loading file, please wait " + fixtures::BLANK_LINE + "\r   Loading file completed ";
const std::string BAD_READ = "\r   Bad read from file \n";
const std::string CRC_FAILED_OUT = "   CRC Failed \n";
const std::string INTEGRITY_FAILED = "\r   Data Integrity check failed \n";
const std::string IMAGE_CORRUPTION = "\r   Image corruption occured \n";

Bytes counting_bytes(size_t count)
{
    Bytes bytes(count);
    for (size_t index = 0; index < count; index++)
        bytes[index] = static_cast<uint8_t>(0x10 + index);
    return bytes;
}

class FileHandler : public testing::Test {
protected:
    void SetUp() override
    {
        print_constructor();
        file_handler_destructor();
        file_handler_constructor();
    }
    void TearDown() override { file_handler_destructor(); }

    // Loads quietly as far as the test is concerned: the load's own text is
    // checked by its own tests.
    void load(const Bytes &content)
    {
        file_ = std::make_unique<ScratchFile>(content);
        fixtures::start_capture();
        RETURN_CODE code = load_data_file(file_->path());
        fixtures::stop_capture();
        ASSERT_EQ(code, RC_SUCCESS);
    }

    uint8_t next_byte(RETURN_CODE expected = RC_SUCCESS)
    {
        uint8_t byte = 0;
        EXPECT_EQ(read_one_byte_from_data_file(&byte), expected);
        return byte;
    }

    std::unique_ptr<ScratchFile> file_;
};

TEST_F(FileHandler, missing_file_reports_the_whole_path_on_the_normal_class)
{
    ScratchFile folder({});
    const std::string short_path = std::string(folder.path()) + ".missing";
    const std::string long_path = std::string(folder.path()) + "/" + std::string(300, 'd') + "/fwpack.dat";
    for (const std::string &path : {short_path, long_path}) {
        for (DISPLAY_STATE state : {DISPLAY_NORMAL, DISPLAY_QUIET}) {
            set_display_state(state);
            fixtures::start_capture();
            RETURN_CODE code = load_data_file(path.c_str());
            Console console = fixtures::stop_capture();
            EXPECT_EQ(code, RC_FILE_NOT_FOUND);
            EXPECT_EQ(console.out, state == DISPLAY_NORMAL ? "\r   Cannot find " + path + " \n" : "");
            EXPECT_EQ(console.err, "");
            EXPECT_EQ(next_byte(RC_OUT_OF_MEMORY), 0xFF) << "no buffer after a failed open";
            EXPECT_EQ(seek_data_file(0), RC_FAILED);
        }
    }
}

TEST_F(FileHandler, load_reads_the_whole_file_and_leaves_the_line_open)
{
    ScratchFile file(counting_bytes(5));
    fixtures::start_capture();
    RETURN_CODE code = load_data_file(file.path());
    Console console = fixtures::stop_capture();
    EXPECT_EQ(code, RC_SUCCESS);
    EXPECT_EQ(console.out, LOAD_TEXT);
    EXPECT_EQ(console.err, "");
    for (uint8_t expected : counting_bytes(5))
        EXPECT_EQ(next_byte(), expected);
    EXPECT_EQ(next_byte(RC_END_OF_DATA), 0xFF);
}

TEST_F(FileHandler, empty_file_is_loaded_not_an_allocation_failure)
{
    ScratchFile file({});
    fixtures::start_capture();
    RETURN_CODE code = load_data_file(file.path());
    Console console = fixtures::stop_capture();
    EXPECT_EQ(code, RC_SUCCESS);
    EXPECT_EQ(console.out, LOAD_TEXT);
    EXPECT_EQ(console.err, "");
    EXPECT_EQ(next_byte(RC_END_OF_DATA), 0xFF);

    DAT_FILE_HDR header;
    fixtures::start_capture();
    code = read_data_file_chunk(reinterpret_cast<uint8_t *>(&header), sizeof header);
    console = fixtures::stop_capture();
    EXPECT_EQ(code, RC_BAD_READ);
    EXPECT_EQ(console.err, BAD_READ);
}

TEST_F(FileHandler, seek_stays_below_the_data_length)
{
    const Bytes content = counting_bytes(8);
    load(content);
    ASSERT_EQ(seek_data_file(3), RC_SUCCESS);
    EXPECT_EQ(seek_data_file(8), RC_FAILED);
    EXPECT_EQ(seek_data_file(0xFFFFFFFF), RC_FAILED);
    EXPECT_EQ(next_byte(), content[3]) << "a failed seek keeps the cursor";

    ASSERT_EQ(seek_data_file(7), RC_SUCCESS);
    EXPECT_EQ(next_byte(), content[7]);
    EXPECT_EQ(next_byte(RC_END_OF_DATA), 0xFF);
}

TEST_F(FileHandler, chunk_reads_stop_at_the_first_failed_byte)
{
    const Bytes content = counting_bytes(12);
    struct Case {
        const char *name;
        uint32_t start;
        uint32_t size;
        size_t stored;  // bytes copied before the failure
        RETURN_CODE expected;
    };
    const Case cases[] = {
        {"whole file", 0, 12, 12, RC_SUCCESS},
        {"middle", 3, 5, 5, RC_SUCCESS},
        {"ten with four left", 8, 10, 4, RC_BAD_READ},
        {"one past the end", 11, 2, 1, RC_BAD_READ},
    };
    load(content);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(seek_data_file(c.start), RC_SUCCESS);
        Bytes destination(16, 0xAA);
        fixtures::start_capture();
        RETURN_CODE code = read_data_file_chunk(destination.data(), c.size);
        Console console = fixtures::stop_capture();
        EXPECT_EQ(code, c.expected);
        EXPECT_EQ(console.out, "");
        EXPECT_EQ(console.err, c.expected == RC_SUCCESS ? "" : BAD_READ);
        for (size_t index = 0; index < c.stored; index++)
            EXPECT_EQ(destination[index], content[c.start + index]) << "byte " << index;
        if (c.expected != RC_SUCCESS) {
            EXPECT_EQ(destination[c.stored], 0xFF) << "the failing position";
            EXPECT_EQ(destination[c.stored + 1], 0xAA) << "nothing written after the failure";
            EXPECT_EQ(next_byte(RC_END_OF_DATA), 0xFF) << "cursor at the end";
        }
    }
}

TEST_F(FileHandler, chunk_of_zero_bytes_is_a_bad_read_that_keeps_the_cursor)
{
    const Bytes content = counting_bytes(6);
    load(content);
    ASSERT_EQ(seek_data_file(2), RC_SUCCESS);
    uint8_t destination = 0xAA;
    fixtures::start_capture();
    RETURN_CODE code = read_data_file_chunk(&destination, 0);
    Console console = fixtures::stop_capture();
    EXPECT_EQ(code, RC_BAD_READ);
    EXPECT_EQ(console.err, BAD_READ);
    EXPECT_EQ(destination, 0xAA);
    EXPECT_EQ(next_byte(), content[2]);
}

TEST_F(FileHandler, chunk_refusals_name_their_cause)
{
    uint8_t destination[4];
    fixtures::start_capture();
    RETURN_CODE unloaded = read_data_file_chunk(destination, sizeof destination);
    Console console = fixtures::stop_capture();
    EXPECT_EQ(unloaded, RC_FILE_NOT_FOUND);
    EXPECT_EQ(console.err, "\r   Read Fails \n");

    load(counting_bytes(4));
    fixtures::start_capture();
    RETURN_CODE null_destination = read_data_file_chunk(nullptr, 4);
    console = fixtures::stop_capture();
    EXPECT_EQ(null_destination, RC_OUT_OF_MEMORY);
    EXPECT_EQ(console.err, "\r   Out of Memory \n");
    EXPECT_EQ(next_byte(), 0x10) << "a refused chunk read does not move the cursor";
}

TEST_F(FileHandler, second_load_replaces_the_first_file)
{
    load(counting_bytes(4));
    ASSERT_EQ(seek_data_file(2), RC_SUCCESS);
    load({0xC3, 0xC4});
    EXPECT_EQ(next_byte(), 0xC3) << "cursor back at the start";
    EXPECT_EQ(next_byte(), 0xC4);
    EXPECT_EQ(next_byte(RC_END_OF_DATA), 0xFF) << "data length of the second file";

    ScratchFile folder({});
    const std::string missing = std::string(folder.path()) + ".missing";
    fixtures::start_capture();
    RETURN_CODE code = load_data_file(missing.c_str());
    fixtures::stop_capture();
    EXPECT_EQ(code, RC_FILE_NOT_FOUND);
    EXPECT_EQ(next_byte(RC_OUT_OF_MEMORY), 0xFF) << "a failed second load leaves nothing loaded";
}

TEST_F(FileHandler, destructor_empties_the_buffer)
{
    load(counting_bytes(3));
    file_handler_destructor();
    EXPECT_EQ(next_byte(RC_OUT_OF_MEMORY), 0xFF);
    EXPECT_EQ(seek_data_file(0), RC_FAILED);
}

// The signature check verifies exactly what was loaded: every byte, wherever
// the shared cursor stands, and nothing once the buffer is gone.
TEST_F(FileHandler, whole_contents_are_the_loaded_bytes_and_only_while_loaded)
{
    const Bytes content = counting_bytes(5);
    load(content);
    ASSERT_EQ(seek_data_file(3), RC_SUCCESS);
    const uint8_t *data = nullptr;
    uint32_t size = 99;
    data_file_contents(&data, &size);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(Bytes(data, data + size), content) << "from the first byte, not from the cursor";

    file_handler_destructor();
    data_file_contents(&data, &size);
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(size, 0U);
}

// A 40-byte body and its CRC, low byte first: 42 bytes in all.
Bytes sealed_file()
{
    Bytes file = counting_bytes(40);
    fixtures::append_crc(file);
    return file;
}

TEST_F(FileHandler, whole_file_check_covers_bytes_up_to_the_length)
{
    const Bytes good = sealed_file();
    const uint32_t size = static_cast<uint32_t>(good.size());

    Bytes swapped = good;
    std::swap(swapped[size - 2], swapped[size - 1]);
    Bytes flipped = good;
    flipped[17] ^= 0x01;
    Bytes trailing = good;
    trailing.insert(trailing.end(), {0x00, 0xFF, 0x55});

    struct Case {
        const char *name;
        Bytes content;
        uint32_t length;
        RETURN_CODE expected;
        std::string err;
    };
    const Case cases[] = {
        {"good", good, size, RC_SUCCESS, ""},
        {"bytes after the length are not covered", trailing, size, RC_SUCCESS, ""},
        {"stored high byte first", swapped, size, RC_CRC_FAILED, INTEGRITY_FAILED},
        {"body byte changed", flipped, size, RC_CRC_FAILED, INTEGRITY_FAILED},
        {"length 0 wraps", good, 0, RC_CRC_FAILED, INTEGRITY_FAILED},
        {"length 1 wraps", good, 1, RC_CRC_FAILED, INTEGRITY_FAILED},
        {"length 2 covers nothing", good, 2, RC_CRC_FAILED, INTEGRITY_FAILED},
        {"stored CRC half past the end", good, size + 1, RC_CRC_FAILED, BAD_READ + INTEGRITY_FAILED},
        {"length far beyond the data", good, size + 1000, RC_CRC_FAILED, INTEGRITY_FAILED},
        {"length shorter than the data", good, size - 1, RC_CRC_FAILED, INTEGRITY_FAILED},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        load(c.content);
        fixtures::start_capture();
        RETURN_CODE code = check_datfile_crc(c.length);
        Console console = fixtures::stop_capture();
        EXPECT_EQ(code, c.expected);
        EXPECT_EQ(console.out, c.expected == RC_SUCCESS ? "   CRC Complete \n" : CRC_FAILED_OUT);
        EXPECT_EQ(console.err, c.err);
    }
}

TEST_F(FileHandler, whole_file_check_fails_with_nothing_loaded)
{
    fixtures::start_capture();
    RETURN_CODE code = check_datfile_crc(42);
    Console console = fixtures::stop_capture();
    EXPECT_EQ(code, RC_CRC_FAILED);
    EXPECT_EQ(console.out, CRC_FAILED_OUT);
    EXPECT_EQ(console.err, INTEGRITY_FAILED);
}

TEST_F(FileHandler, quiet_whole_file_failure_shows_only_the_error)
{
    load(sealed_file());
    set_display_state(DISPLAY_QUIET);
    fixtures::start_capture();
    RETURN_CODE code = check_datfile_crc(0);
    Console console = fixtures::stop_capture();
    EXPECT_EQ(code, RC_CRC_FAILED);
    EXPECT_EQ(console.out, "");
    EXPECT_EQ(console.err, INTEGRITY_FAILED);
}

TEST_F(FileHandler, image_check_covers_exactly_its_stretch)
{
    const Bytes content = counting_bytes(30);
    const uint16_t crc_5_20 = fixtures::crc_of(content.data() + 5, 20);
    struct Case {
        const char *name;
        uint32_t start;
        uint32_t count;
        uint16_t expected_crc;
        RETURN_CODE expected;
    };
    const Case cases[] = {
        {"good stretch", 5, 20, crc_5_20, RC_SUCCESS},
        {"stretch to the last byte", 0, 30, fixtures::crc_of(content.data(), 30), RC_SUCCESS},
        {"wrong CRC", 5, 20, static_cast<uint16_t>(crc_5_20 ^ 0x0100), RC_CRC_FAILED},
        {"empty stretch", 5, 0, 0, RC_CRC_FAILED},
        {"start at the end", 30, 1, 0, RC_CRC_FAILED},
        {"runs past the end", 25, 10, fixtures::crc_of(content.data() + 25, 5), RC_CRC_FAILED},
        {"count that wrapped", 1, 0xFFFFFFFF, fixtures::crc_of(content.data() + 1, 29), RC_CRC_FAILED},
    };
    load(content);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        fixtures::start_capture();
        RETURN_CODE code = check_datfile_segment_crc(c.start, c.count, c.expected_crc);
        Console console = fixtures::stop_capture();
        EXPECT_EQ(code, c.expected);
        EXPECT_EQ(console.out, "");
        EXPECT_EQ(console.err, c.expected == RC_SUCCESS ? "" : IMAGE_CORRUPTION);
        if (c.expected == RC_SUCCESS && c.start + c.count < content.size()) {
            EXPECT_EQ(next_byte(), content[c.start + c.count]) << "cursor just after the stretch";
        }
    }
}

// What cannot be a data file is refused at once, before any byte is read:
// the load's one error line, no buffer afterwards.
struct RefusedFileCase {
    const char *name;
    std::function<void(const std::string &path)> make;
};

class RefusedDataFile : public FileHandler, public testing::WithParamInterface<RefusedFileCase> {};

TEST_P(RefusedDataFile, fails_the_load_without_reading)
{
    ScratchFile folder({}, "placeholder");
    const std::string path = std::string(folder.path()) + ".target";
    GetParam().make(path);
    // A read that blocked would hang here; the alarm turns it into a failure.
    alarm(20);
    fixtures::start_capture();
    RETURN_CODE code = load_data_file(path.c_str());
    Console console = fixtures::stop_capture();
    alarm(0);
    EXPECT_EQ(code, RC_FAILED);
    EXPECT_EQ(console.out, "");
    EXPECT_EQ(console.err, "\r   Loading file failed \n");
    EXPECT_EQ(next_byte(RC_OUT_OF_MEMORY), 0xFF) << "nothing loaded";
    unlink(path.c_str());
    rmdir(path.c_str());
}

void sparse_file(const std::string &path, off_t size)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, size), 0);
    close(fd);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RefusedDataFile,
    testing::Values(
        RefusedFileCase{"fifo_without_writer",
                        [](const std::string &path) { ASSERT_EQ(mkfifo(path.c_str(), 0600), 0); }},
        RefusedFileCase{"directory", [](const std::string &path) { ASSERT_EQ(mkdir(path.c_str(), 0700), 0); }},
        RefusedFileCase{"one_byte_over_the_size_limit",
                        [](const std::string &path) { sparse_file(path, DATA_FILE_SIZE_LIMIT + 1); }},
        RefusedFileCase{"four_gib_less_one", [](const std::string &path) { sparse_file(path, 0xFFFFFFFFL); }}),
    [](const testing::TestParamInfo<RefusedFileCase> &info) { return std::string(info.param.name); });

TEST_F(FileHandler, file_of_exactly_the_size_limit_is_read)
{
    ScratchFile folder({}, "placeholder");
    const std::string path = std::string(folder.path()) + ".limit";
    sparse_file(path, DATA_FILE_SIZE_LIMIT);
    fixtures::start_capture();
    RETURN_CODE code = load_data_file(path.c_str());
    fixtures::stop_capture();
    unlink(path.c_str());
    EXPECT_EQ(code, RC_SUCCESS);
    EXPECT_EQ(seek_data_file(static_cast<uint32_t>(DATA_FILE_SIZE_LIMIT - 1)), RC_SUCCESS);
    EXPECT_EQ(next_byte(), 0x00);
    EXPECT_EQ(next_byte(RC_END_OF_DATA), 0xFF);
}

TEST_F(FileHandler, missing_file_message_escapes_the_path)
{
    fixtures::start_capture();
    RETURN_CODE code = load_data_file("/nonexistent/\x1b]2;owned\x07.dat");
    Console console = fixtures::stop_capture();
    EXPECT_EQ(code, RC_FILE_NOT_FOUND);
    EXPECT_EQ(console.out, "\r   Cannot find /nonexistent/\\x1b]2;owned\\x07.dat \n");
}

}  // namespace
