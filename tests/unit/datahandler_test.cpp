// SPDX-License-Identifier: GPL-3.0-or-later
// The data-handler stage on files built here: every way a file is refused,
// with its exact text and code, and how found boards are bound to images.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "datafile/datahandler.h"
#include "datafile/file_handler.h"
#include "datafile_fixtures.h"
#include "datafile_kit.h"
#include "flash/discovery.h"
#include "output/print.h"

namespace {

using fixtures::Bytes;
using fixtures::Console;
using fixtures::ScratchFile;
using fixtures::TestImage;

const std::string BAD_READ = "\r   Bad read from file \n";
const std::string CRC_COMPLETE = "   CRC Complete \n";
constexpr uint16_t OTHER_DEVICE_TYPE = 7;

// Packed fields are copied out before a comparison binds a reference to them.
template <typename T>
T copy_of(T packed_field)
{
    return packed_field;
}

TestImage backplane_image(uint8_t major, uint8_t minor, uint8_t seed = 1)
{
    return {BACKPLANE_DEVICE_TYPE, major, minor, fixtures::image_data(64, seed)};
}

class DataHandler : public testing::Test {
protected:
    void SetUp() override
    {
        print_constructor();
        file_handler_destructor();
        datahandler_destructor();
        for (uint16_t row = 0; row < const_glob_devices_count; row++) {
            rows_[row] = DEVICES_INFO{};
            rows_[row].device_type = BACKPLANE_DEVICE_TYPE;
            rows_[row].status = DS_FOUND;
        }
        info_ = DAT_FILE_INFO{};
        info_.devices = rows_;
    }
    void TearDown() override
    {
        file_handler_destructor();
        datahandler_destructor();
    }

    void set_statuses(std::vector<DEVICE_STATUS> statuses)
    {
        for (size_t row = 0; row < statuses.size(); row++)
            rows_[row].status = statuses[row];
    }

    // Loads the file the way the main sequence does, then runs the stage
    // with its console captured.
    RETURN_CODE run(const Bytes &content)
    {
        file_ = std::make_unique<ScratchFile>(content);
        fixtures::start_capture();
        RETURN_CODE loaded = load_data_file(file_->path());
        fixtures::stop_capture();
        EXPECT_EQ(loaded, RC_SUCCESS);
        fixtures::start_capture();
        RETURN_CODE code = data_file_handler(&info_);
        console_ = fixtures::stop_capture();
        return code;
    }

    DEVICES_INFO rows_[const_glob_devices_count];
    DAT_FILE_INFO info_;
    Console console_;
    std::unique_ptr<ScratchFile> file_;
};

// The smallest file that passes every header check yet ends at offset 17:
// the two reserved bytes are chosen so the CRC of bytes 0 to 14 equals the
// last two signature bytes, 'C' and the zero, read as the stored CRC.
Bytes header_only_file()
{
    Bytes file(sizeof(DAT_FILE_HDR), 0);
    DAT_FILE_HDR *header = fixtures::header_of(file);
    header->version = DATA_FILE_VERSION;
    header->image_count = 1;
    header->file_length = sizeof(DAT_FILE_HDR);
    memcpy(header->signature, DATA_FILE_SIGNATURE, DATA_FILE_SIGNATURE_SIZE);
    const uint16_t stored = static_cast<uint16_t>(file[15] | (file[16] << 8));
    for (uint32_t reserved = 0; reserved <= 0xFFFF; reserved++) {
        fixtures::put_le16(file, offsetof(DAT_FILE_HDR, reserved), static_cast<uint16_t>(reserved));
        if (fixtures::crc_of(file.data(), sizeof(DAT_FILE_HDR) - DATA_FILE_CRC_SIZE) == stored)
            return file;
    }
    ADD_FAILURE() << "no reserved value gives the needed CRC";
    return file;
}

TEST_F(DataHandler, refused_files_give_their_own_text_and_code)
{
    using Mutation = std::function<void(Bytes &)>;
    const std::string blank = fixtures::BLANK_LINE;
    struct Case {
        const char *name;
        Mutation mutate;
        RETURN_CODE expected;
        std::string out;
        std::string err;
    };
    auto resealed = [](Mutation change) {
        return [change](Bytes &file) {
            change(file);
            fixtures::reseal(file);
        };
    };
    const Case cases[] = {
        {"version 3", resealed([](Bytes &f) { fixtures::header_of(f)->version = 3; }), RC_VERSION_NOT_SUPPORTED, blank,
         "\r   Data file version not supported \n"},
        {"signature letter", resealed([](Bytes &f) { fixtures::header_of(f)->signature[4] = '-'; }),
         RC_DATA_FILE_NOT_RECOGNIZED, blank, "\r   Data file not recognized \n"},
        {"signature terminator", resealed([](Bytes &f) { fixtures::header_of(f)->signature[8] = 'X'; }),
         RC_DATA_FILE_NOT_RECOGNIZED, blank, "\r   Data file not recognized \n"},
        {"signature and version both wrong", resealed([](Bytes &f) {
             fixtures::header_of(f)->version = 3;
             fixtures::header_of(f)->signature[0] = 'q';
         }),
         RC_DATA_FILE_NOT_RECOGNIZED, blank, "\r   Data file not recognized \n"},
        {"file CRC", [](Bytes &f) { f.back() ^= 0x40; }, RC_CRC_FAILED, "   CRC Failed \n",
         "\r   Data Integrity check failed \n"},
        {"file length beyond the data", [](Bytes &f) { fixtures::header_of(f)->file_length += 1; }, RC_CRC_FAILED,
         "   CRC Failed \n", BAD_READ + "\r   Data Integrity check failed \n"},
        {"image count 0", resealed([](Bytes &f) { fixtures::header_of(f)->image_count = 0; }), RC_BAD_READ,
         CRC_COMPLETE, BAD_READ},
        {"image headers past the end", resealed([](Bytes &f) { fixtures::header_of(f)->image_count = 3; }), RC_BAD_READ,
         CRC_COMPLETE, BAD_READ},
        {"truncated header", [](Bytes &f) { f.resize(10); }, RC_BAD_READ, blank,
         BAD_READ + "\r   Failed loading Data file \n"},
        {"empty file", [](Bytes &f) { f.clear(); }, RC_BAD_READ, blank, BAD_READ + "\r   Failed loading Data file \n"},
        {"no byte at offset 17", [](Bytes &f) { f = header_only_file(); }, RC_FAILED, CRC_COMPLETE, ""},
        {"found board with no image of its type",
         resealed([](Bytes &f) { fixtures::image_header_of(f, 0)->device_type = OTHER_DEVICE_TYPE; }), RC_BAD_DATA,
         CRC_COMPLETE, ""},
        {"bound image's major revision with the boot-block bit",
         resealed([](Bytes &f) { fixtures::image_header_of(f, 0)->rev_major |= BOOT_BLOCK_BIT; }), RC_BAD_DATA,
         CRC_COMPLETE + blank, "\r   Failed loading Data file \n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        Bytes file = fixtures::build_data_file({backplane_image(1, 0x06)});
        c.mutate(file);
        EXPECT_EQ(run(file), c.expected);
        EXPECT_EQ(console_.out, c.out);
        EXPECT_EQ(console_.err, c.err);
        for (const DEVICES_INFO &row : rows_) {
            EXPECT_EQ(row.status, DS_FOUND) << "no board bound";
            EXPECT_EQ(copy_of(row.image), nullptr);
        }
        if (c.expected != RC_BAD_DATA) {
            EXPECT_EQ(copy_of(info_.images), nullptr);
        }
    }
}

TEST_F(DataHandler, header_is_copied_verbatim_into_the_run_record)
{
    Bytes file = fixtures::build_data_file({backplane_image(1, 0x06)});
    file[offsetof(DAT_FILE_HDR, reserved)] = 0x5A;
    fixtures::reseal(file);
    ASSERT_EQ(run(file), RC_SUCCESS);
    EXPECT_EQ(memcmp(&info_.header, file.data(), sizeof(DAT_FILE_HDR)), 0);
    EXPECT_EQ(copy_of(info_.header.file_length), file.size());
    EXPECT_EQ(console_.out, CRC_COMPLETE);
    EXPECT_EQ(console_.err, "");
}

TEST_F(DataHandler, found_boards_share_the_first_image_of_their_type)
{
    struct Case {
        const char *name;
        std::vector<TestImage> images;
        size_t expected_index;
    };
    const Case cases[] = {
        {"one image", {backplane_image(1, 0x06)}, 0},
        {"two backplane images: the first wins", {backplane_image(1, 0x06, 1), backplane_image(2, 0x0a, 2)}, 0},
        {"other type first", {{OTHER_DEVICE_TYPE, 9, 0x99, fixtures::image_data(64, 3)}, backplane_image(1, 0x10)}, 1},
        // Only the image a board is bound to must be free of the boot-block bit.
        {"boot-block bit on an image of another type",
         {{OTHER_DEVICE_TYPE, 0x89, 0x99, fixtures::image_data(64, 3)}, backplane_image(1, 0x10)},
         1},
        {"boot-block bit on a later backplane image", {backplane_image(1, 0x06, 1), backplane_image(0x82, 0x0a, 2)}, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        set_statuses({DS_FOUND, DS_FOUND, DS_ABSENT});
        Bytes file = fixtures::build_data_file(c.images);
        ASSERT_EQ(run(file), RC_SUCCESS);
        ASSERT_NE(copy_of(info_.images), nullptr);
        const IMAGE_HDR *expected = &info_.images[c.expected_index];
        for (int row = 0; row < 2; row++) {
            EXPECT_EQ(rows_[row].status, DS_IMAGE_MATCHED);
            EXPECT_EQ(copy_of(rows_[row].image), expected);
        }
        EXPECT_EQ(memcmp(expected, fixtures::image_header_of(file, c.expected_index), sizeof(IMAGE_HDR)), 0);
        EXPECT_EQ(rows_[2].status, DS_ABSENT);
        EXPECT_EQ(copy_of(rows_[2].image), nullptr);
    }
}

TEST_F(DataHandler, rows_not_found_are_left_alone)
{
    set_statuses({DS_INITIAL, DS_EXPECTED, DS_ABSENT});
    ASSERT_EQ(run(fixtures::build_data_file({backplane_image(1, 0x06)})), RC_SUCCESS);
    EXPECT_NE(copy_of(info_.images), nullptr);
    const DEVICE_STATUS expected[] = {DS_INITIAL, DS_EXPECTED, DS_ABSENT};
    for (int row = 0; row < const_glob_devices_count; row++) {
        EXPECT_EQ(rows_[row].status, expected[row]);
        EXPECT_EQ(copy_of(rows_[row].image), nullptr);
    }
}

TEST_F(DataHandler, matching_stops_at_the_first_board_without_an_image)
{
    rows_[1].device_type = OTHER_DEVICE_TYPE;
    EXPECT_EQ(run(fixtures::build_data_file({backplane_image(1, 0x06)})), RC_BAD_DATA);
    EXPECT_EQ(console_.err, "");
    EXPECT_EQ(rows_[0].status, DS_IMAGE_MATCHED);
    EXPECT_EQ(rows_[1].status, DS_FOUND);
    EXPECT_EQ(copy_of(rows_[1].image), nullptr);
    EXPECT_EQ(rows_[2].status, DS_FOUND) << "rows after the failure are not examined";
    EXPECT_EQ(copy_of(rows_[2].image), nullptr);
}

TEST_F(DataHandler, bytes_after_the_file_length_are_accepted)
{
    Bytes file = fixtures::build_data_file({backplane_image(1, 0x06)});
    const Bytes extra = fixtures::image_data(64, 9);
    file.insert(file.end(), extra.begin(), extra.end());
    EXPECT_EQ(run(file), RC_SUCCESS);
    EXPECT_EQ(rows_[0].status, DS_IMAGE_MATCHED);
}

TEST_F(DataHandler, every_image_header_is_read_whatever_its_fields_say)
{
    // Offsets and lengths beyond the file are the image check's business;
    // the stage only reads and binds the headers.
    Bytes file = fixtures::build_data_file({backplane_image(1, 0x06), backplane_image(1, 0x07)});
    IMAGE_HDR *second = fixtures::image_header_of(file, 1);
    second->data_offset = 0xFFFFFFF0;
    second->image_length = 0xFFFFFFFF;
    fixtures::reseal(file);
    ASSERT_EQ(run(file), RC_SUCCESS);
    EXPECT_EQ(copy_of(info_.images[1].data_offset), 0xFFFFFFF0u);
    EXPECT_EQ(copy_of(info_.images[1].image_length), 0xFFFFFFFFu);
}

}  // namespace

// The kit's verdict on a file must be the program's: thousands of files, each
// a valid one with a few fields or bytes changed (and often resealed, so the
// change reaches the checks behind the file CRC), go through both.
TEST_F(DataHandler, kit_check_agrees_with_the_program_on_changed_files)
{
    info_.devices = nullptr;
    const Bytes valid = fixtures::build_data_file({backplane_image(1, 0x06, 1), backplane_image(2, 0x10, 2)});
    const size_t headers_end = IMAGE_HEADERS_OFFSET + 2 * sizeof(IMAGE_HDR);
    uint32_t state = 0x2545F491;
    auto next = [&state](uint32_t bound) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return bound == 0 ? 0 : state % bound;
    };
    int accepted_count = 0;
    constexpr int CASES = 800;
    for (int trial = 0; trial < CASES; trial++) {
        Bytes file = valid;
        const uint32_t changes = 1 + next(3);
        for (uint32_t change = 0; change < changes; change++) {
            switch (next(6)) {
            case 0:  // a header byte, mostly where the fields are
                file[next(static_cast<uint32_t>(std::min(file.size(), headers_end)))] ^=
                    static_cast<uint8_t>(1 + next(255));
                break;
            case 1:  // the file length, near its true value
                fixtures::header_of(file)->file_length = static_cast<uint32_t>(file.size()) + next(7) - 3;
                break;
            case 2:  // the image count
                fixtures::header_of(file)->image_count = static_cast<uint8_t>(next(4));
                break;
            case 3:  // cut the file short
                file.resize(next(static_cast<uint32_t>(file.size()) + 1));
                break;
            case 4:  // bytes past the file length
                file.insert(file.end(), 1 + next(4), 0x5A);
                break;
            default:  // an image byte
                if (file.size() > headers_end)
                    file[headers_end + next(static_cast<uint32_t>(file.size() - headers_end))] ^= 0x01;
                break;
            }
        }
        if (next(2) == 0 && file.size() >= sizeof(DAT_FILE_HDR))
            datafile_kit::reseal(file);

        const datafile_kit::Check verdict = datafile_kit::check(file);
        file_handler_destructor();
        datahandler_destructor();
        ScratchFile scratch(file);
        fixtures::start_capture();
        const RETURN_CODE loaded = load_data_file(scratch.path());
        const RETURN_CODE code = loaded == RC_SUCCESS ? data_file_handler(&info_) : loaded;
        fixtures::stop_capture();
        ASSERT_EQ(verdict.accepted, code == RC_SUCCESS)
            << "case " << trial << ": " << file.size() << " bytes, program code " << static_cast<int>(code);
        accepted_count += verdict.accepted ? 1 : 0;
    }
    // Both verdicts occur often enough for the comparison to mean something.
    EXPECT_GT(accepted_count, CASES / 10);
    EXPECT_LT(accepted_count, CASES * 9 / 10);
}
