// SPDX-License-Identifier: GPL-3.0-or-later
// Helpers shared by the data-file suites: scratch files, console capture, and
// data files laid out by the data-file kit and sealed with the bitwise CRC.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "crc_oracle.h"
#include "datafile/datafile_format.h"
#include "datafile_kit.h"

namespace fixtures {

using Bytes = std::vector<uint8_t>;

inline const std::string BLANK_LINE = "\r" + std::string(74, ' ') + "\r";

// A file in a fresh scratch folder, removed with the object.
class ScratchFile {
public:
    explicit ScratchFile(const Bytes &content, const std::string &name = "fwpack.dat")
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "datafile_test_XXXXXX").string();
        folder_ = mkdtemp(pattern.data());
        path_ = folder_ + "/" + name;
        FILE *stream = fopen(path_.c_str(), "wb");
        if (stream != nullptr) {
            if (!content.empty())
                fwrite(content.data(), 1, content.size(), stream);
            fclose(stream);
        }
    }
    ~ScratchFile() { std::filesystem::remove_all(folder_); }
    ScratchFile(const ScratchFile &) = delete;
    ScratchFile &operator=(const ScratchFile &) = delete;

    const char *path() const { return path_.c_str(); }

private:
    std::string folder_;
    std::string path_;
};

struct Console {
    std::string out;
    std::string err;
};

inline void start_capture()
{
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
}

inline Console stop_capture()
{
    Console console;
    console.out = testing::internal::GetCapturedStdout();
    console.err = testing::internal::GetCapturedStderr();
    return console;
}

inline uint16_t crc_of(const uint8_t *data, size_t count)
{
    return oracle::crc16_arc(data, count);
}

inline void put_le16(Bytes &bytes, size_t offset, uint16_t value)
{
    datafile_kit::put_le16(bytes.data() + offset, value);
}

// The data file's documented layout, typed here rather than taken from the
// program's records: the file length at 2, the 51-byte image headers from 17,
// each with its image CRC at 9, its length at 11 and its data offset at 15.
constexpr size_t FILE_LENGTH_AT = 2;
constexpr size_t FIRST_IMAGE_HEADER_AT = 17;
constexpr size_t IMAGE_HEADER_BYTES = 51;
constexpr size_t IMAGE_CRC_AT = 9;
constexpr size_t IMAGE_LENGTH_AT = 11;
constexpr size_t IMAGE_OFFSET_AT = 15;

inline uint32_t get_le32(const Bytes &bytes, size_t offset)
{
    return static_cast<uint32_t>(bytes[offset]) | static_cast<uint32_t>(bytes[offset + 1]) << 8 |
        static_cast<uint32_t>(bytes[offset + 2]) << 16 | static_cast<uint32_t>(bytes[offset + 3]) << 24;
}

// Appends the CRC of everything so far, low byte first.
inline void append_crc(Bytes &bytes)
{
    uint16_t crc = crc_of(bytes.data(), bytes.size());
    bytes.resize(bytes.size() + DATA_FILE_CRC_SIZE);
    put_le16(bytes, bytes.size() - DATA_FILE_CRC_SIZE, crc);
}

struct TestImage {
    uint16_t device_type;
    uint8_t rev_major;
    uint8_t rev_minor;
    Bytes data;
};

// An image whose first two bytes carry its length, filled with a pattern
// that is neither erased nor zeroed.
inline Bytes image_data(uint32_t length, uint8_t seed)
{
    Bytes data(length);
    for (uint32_t index = 0; index < length; index++)
        data[index] = static_cast<uint8_t>(1 + (index * 37 + seed) % 253);
    if (length >= 2)
        put_le16(data, 0, static_cast<uint16_t>(length & 0xFFFF));
    return data;
}

inline DAT_FILE_HDR *header_of(Bytes &file)
{
    return reinterpret_cast<DAT_FILE_HDR *>(file.data());
}

inline IMAGE_HDR *image_header_of(Bytes &file, size_t index)
{
    return reinterpret_cast<IMAGE_HDR *>(file.data() + IMAGE_HEADERS_OFFSET + index * sizeof(IMAGE_HDR));
}

// Writes the file CRC again over bytes 0 to L - 3 after a test changed the
// header; the CRC goes at L - 2 as the header now says.
inline void reseal(Bytes &file)
{
    const uint32_t length = file.size() < FILE_LENGTH_AT + 4 ? 0 : get_le32(file, FILE_LENGTH_AT);
    ASSERT_TRUE(length >= DATA_FILE_CRC_SIZE && length <= file.size()) << "the header leaves no room for the file CRC";
    put_le16(file, length - DATA_FILE_CRC_SIZE, crc_of(file.data(), length - DATA_FILE_CRC_SIZE));
}

// A valid data file: headers, the images back to back, the file CRC.
inline Bytes build_data_file(const std::vector<TestImage> &images)
{
    std::vector<datafile_kit::Image> packed;
    for (const TestImage &image : images)
        packed.push_back({image.device_type, image.rev_major, image.rev_minor, image.data});
    Bytes file;
    std::string error;
    EXPECT_TRUE(datafile_kit::build(packed, file, &error)) << error;
    // The kit lays the file out; the checksums the program must agree with
    // come from the bitwise CRC.
    for (size_t index = 0; index < images.size() && !file.empty(); index++) {
        const size_t header = FIRST_IMAGE_HEADER_AT + index * IMAGE_HEADER_BYTES;
        put_le16(file, header + IMAGE_CRC_AT,
                 crc_of(file.data() + get_le32(file, header + IMAGE_OFFSET_AT), get_le32(file, header + IMAGE_LENGTH_AT)));
    }
    if (!file.empty())
        reseal(file);
    return file;
}

}  // namespace fixtures
