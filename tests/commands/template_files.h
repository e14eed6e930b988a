// Test helpers: a scratch directory per test and small image files written into it.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

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
    path_ = std::filesystem::temp_directory_path() / ("tavrik_" + std::to_string(::getpid()) + "_" +
                                                      info->test_suite_name() + "_" + info->name());
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

}  // namespace tavrik::test
