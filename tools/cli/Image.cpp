#include "tools/cli/Image.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "app/core/FirmwareImage.h"

namespace cli {

namespace {

constexpr std::array<std::uint32_t, 256> kCrcTable = [] {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[i] = c;
  }
  return table;
}();

std::string Address(std::uint32_t a) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%05X", static_cast<unsigned>(a));
  return buf;
}

}  // namespace

std::uint32_t Crc32(const std::uint8_t* data, std::size_t size) {
  std::uint32_t c = 0xFFFFFFFFu;
  for (std::size_t i = 0; i < size; ++i) c = kCrcTable[(c ^ data[i]) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

LoadedImage LoadImage(const std::string& path) {
  LoadedImage image;
  image.recordLines = comflash::LoadHexFile(path, comflash::FirmwareImage, &image.covered);
  image.crc32 = Crc32(comflash::FirmwareImage.data() + kSentFirst, kSentLast - kSentFirst + 1);
  return image;
}

std::string DescribeSpans(const comflash::AddressSpans& spans) {
  if (spans.empty()) return "no data";
  constexpr std::size_t kShown = 4;
  std::string text;
  for (std::size_t i = 0; i < spans.size() && i < kShown; ++i) {
    if (i > 0) text += ", ";
    text += Address(spans[i].first) + ".." + Address(spans[i].last);
  }
  if (spans.size() > kShown) text += " and " + std::to_string(spans.size() - kShown) + " more";
  return text;
}

comflash::AddressSpans SpansInsideSent(const comflash::AddressSpans& covered) {
  comflash::AddressSpans inside;
  for (const auto& s : covered) {
    const std::uint32_t first = std::max(s.first, kSentFirst);
    const std::uint32_t last = std::min(s.last, kSentLast);
    if (first <= last) inside.push_back({first, last});
  }
  return inside;
}

comflash::AddressSpans SpansOutsideSent(const comflash::AddressSpans& covered) {
  comflash::AddressSpans outside;
  for (const auto& s : covered) {
    if (s.first < kSentFirst) outside.push_back({s.first, std::min(s.last, kSentFirst - 1)});
    if (s.last > kSentLast) outside.push_back({std::max(s.first, kSentLast + 1), s.last});
  }
  return outside;
}

std::string SentRangeText() {
  return Address(kSentFirst) + ".." + Address(kSentLast) + " (blocks 3 to 125)";
}

}  // namespace cli
