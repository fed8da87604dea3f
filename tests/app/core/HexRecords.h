// Building HEX records and files for the loader's tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace comflash::hextest {

inline std::vector<std::uint8_t> RandomBytes(std::size_t n, std::uint32_t seed) {
  std::mt19937 gen(seed);
  std::uniform_int_distribution<int> dist(0, 255);
  std::vector<std::uint8_t> bytes(n);
  for (auto& b : bytes) b = static_cast<std::uint8_t>(dist(gen));
  return bytes;
}

inline void WriteFile(const std::filesystem::path& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary);
  out << content;
  ASSERT_TRUE(out.good()) << path;
}

inline std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// A well-formed record with its checksum, upper-case digits.
inline std::string Record(std::uint8_t type, std::uint16_t offset,
                          const std::vector<std::uint8_t>& data) {
  std::vector<std::uint8_t> bytes{static_cast<std::uint8_t>(data.size()),
                                  static_cast<std::uint8_t>(offset >> 8),
                                  static_cast<std::uint8_t>(offset & 0xFF), type};
  bytes.insert(bytes.end(), data.begin(), data.end());
  unsigned sum = 0;
  for (auto b : bytes) sum += b;
  bytes.push_back(static_cast<std::uint8_t>(-sum));
  std::string line = ":";
  char buf[3];
  for (auto b : bytes) {
    std::snprintf(buf, sizeof buf, "%02X", b);
    line += buf;
  }
  return line;
}

inline std::string Data(std::uint16_t offset, const std::vector<std::uint8_t>& data) {
  return Record(0x00, offset, data);
}
inline std::string Segment(std::uint16_t value) {
  return Record(0x02, 0, {static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)});
}
inline std::string Linear(std::uint16_t value) {
  return Record(0x04, 0, {static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)});
}
inline const std::string kEof = ":00000001FF";

}  // namespace comflash::hextest
