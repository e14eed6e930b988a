// Test helpers: a scratch directory per test and small image files written into it.
#pragma once

#include <gtest/gtest.h>
#include <zlib.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <string>
#include <vector>

namespace tavrik::test {

class ScratchDir {
 public:
  ScratchDir() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    // Unique per run without an OS call: the clock tells runs apart, the names tests.
    path_ =
        std::filesystem::temp_directory_path() /
        ("tavrik_" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) +
         "_" + info->test_suite_name() + "_" + info->name());
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::filesystem::path& Path() const { return path_; }

  // Writes `image` (any channel count cv::imwrite accepts) as `name`; returns the full path.
  std::filesystem::path WriteImage(const std::string& name, const cv::Mat& image) const {
    const auto file = path_ / name;
    EXPECT_TRUE(cv::imwrite(file.string(), image)) << file;
    return file;
  }
  std::filesystem::path WriteBytes(const std::string& name,
                                   const std::vector<unsigned char>& bytes) const {
    const auto file = path_ / name;
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return file;
  }

 private:
  std::filesystem::path path_;
};

// A well-formed PNG whose header claims 65535 x 65535 pixels: the decoder refuses it by throwing.
inline std::vector<unsigned char> OversizedPngHeader() {
  std::vector<unsigned char> png;
  cv::imencode(".png", cv::Mat(1, 1, CV_8UC3, cv::Scalar(1, 2, 3)), png);
  const auto put = [&](std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) png[at + i] = static_cast<unsigned char>(v >> (24 - 8 * i));
  };
  put(16, 65535);                   // IHDR width
  put(20, 65535);                   // IHDR height
  std::uint32_t crc = 0xFFFFFFFFu;  // over the chunk type and data (bytes 12..28)
  for (std::size_t i = 12; i < 29; ++i) {
    crc ^= png[i];
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  put(29, ~crc);
  return png;
}

// A valid PNG of width x height black pixels at one bit per pixel: a few tens of kilobytes that
// decode to width x height x 3 bytes. 16384 x 16384 is 32 KiB of file and 768 MiB of image.
inline std::vector<unsigned char> DecompressionBombPng(std::uint32_t width, std::uint32_t height) {
  std::vector<unsigned char> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  const auto u32 = [](std::vector<unsigned char>& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<unsigned char>(v >> (24 - 8 * i)));
  };
  const auto chunk = [&](const char* type, const std::vector<unsigned char>& data) {
    u32(png, static_cast<std::uint32_t>(data.size()));
    const std::size_t start = png.size();
    png.insert(png.end(), type, type + 4);
    png.insert(png.end(), data.begin(), data.end());
    u32(png, static_cast<std::uint32_t>(
                 crc32(0, png.data() + start, static_cast<uInt>(png.size() - start))));
  };
  std::vector<unsigned char> header;
  u32(header, width);
  u32(header, height);
  header.insert(header.end(), {1, 0, 0, 0, 0});  // 1 bit, grey, deflate, no filter, no interlace
  chunk("IHDR", header);

  // Each row: filter byte 0 and width/8 zero bytes, streamed through deflate.
  const std::vector<unsigned char> row(1 + (width + 7) / 8, 0);
  std::vector<unsigned char> compressed;
  z_stream z{};
  deflateInit(&z, Z_BEST_COMPRESSION);
  unsigned char out[1 << 16];
  for (std::uint32_t y = 0; y <= height; ++y) {
    const bool last = y == height;
    z.next_in = const_cast<unsigned char*>(row.data());
    z.avail_in = last ? 0 : static_cast<uInt>(row.size());
    do {
      z.next_out = out;
      z.avail_out = sizeof out;
      deflate(&z, last ? Z_FINISH : Z_NO_FLUSH);
      compressed.insert(compressed.end(), out, out + (sizeof out - z.avail_out));
    } while (z.avail_out == 0);
  }
  deflateEnd(&z);
  chunk("IDAT", compressed);
  chunk("IEND", {});
  return png;
}

}  // namespace tavrik::test
