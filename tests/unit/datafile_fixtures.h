// SPDX-License-Identifier: GPL-3.0-or-later
// Helpers shared by the data-file suites: scratch files, console capture, and
// data files made and resealed by the data-file kit.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

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
    return datafile_kit::crc16(data, count);
}

inline void put_le16(Bytes &bytes, size_t offset, uint16_t value)
{
    datafile_kit::put_le16(bytes.data() + offset, value);
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
    EXPECT_TRUE(datafile_kit::reseal(file)) << "the header leaves no room for the file CRC";
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
    return file;
}

}  // namespace fixtures
