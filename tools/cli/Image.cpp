#include "tools/cli/Image.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include <stdexcept>
#ifndef _WIN32
#include <zlib.h>
#endif

#include "framework/TextFile.h"

namespace cli {

namespace {

#ifdef _WIN32
// Debian has no zlib for MinGW-w64: the same CRC by a table of its own.
constexpr std::array<std::uint32_t, 256> kCrcTable = [] {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[i] = c;
  }
  return table;
}();
#endif

std::string Address(std::uint32_t a) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%05X", static_cast<unsigned>(a));
  return buf;
}

// An ELF or a raw binary would only get the loader's word on its first odd
// byte ("bad hex digit at column 2") or on its lack of records ("no data").
void RefuseWhatIsNoHexFile(const std::vector<std::string>& lines, const std::string& path) {
  const std::string notHex = path + " is not an Intel HEX file: ";
  if (!lines.empty() && lines[0].rfind("\x7F"
                                       "ELF",
                                       0) == 0)
    throw std::runtime_error(notHex +
                             "it is an ELF file (objcopy -O ihex FILE.elf FILE.hex makes one)");
  bool anyRecord = false;
  bool anyText = false;
  for (const auto& line : lines) {
    for (const char c : line) {
      const auto u = static_cast<unsigned char>(c);
      // Text holds no control characters but tab and Ctrl-Z (0x1A).
      if (u < 0x20 && c != '\t' && c != '\x1A')
        throw std::runtime_error(notHex +
                                 "it holds binary data (a raw image needs objcopy -I "
                                 "binary -O ihex first)");
    }
    const auto start = line.find_first_not_of(" \t\r\x1A");
    if (start == std::string::npos) continue;
    anyText = true;
    if (line.find(':') != std::string::npos) anyRecord = true;
  }
  if (anyText && !anyRecord)
    throw std::runtime_error(notHex + "no line in it is a record (records begin with ':')");
}

}  // namespace

std::uint32_t Crc32(const std::uint8_t* data, std::size_t size) {
#ifdef _WIN32
  std::uint32_t c = 0xFFFFFFFFu;
  for (std::size_t i = 0; i < size; ++i) c = kCrcTable[(c ^ data[i]) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
#else
  return static_cast<std::uint32_t>(::crc32_z(::crc32_z(0, nullptr, 0), data, size));
#endif
}

LoadedImage LoadImage(const std::string& path) {
  const auto lines = framework::ReadTextLines(path);
  RefuseWhatIsNoHexFile(lines, path);
  LoadedImage image;
  image.recordLines = comflash::LoadHexRecords(lines, path, *image.bytes, &image.covered,
                                               comflash::HexLoadRules::Strict());
  image.crc32 = Crc32(image.bytes->data() + kSentFirst, kSentLast - kSentFirst + 1);
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

comflash::AddressSpans GapsInSent(const comflash::AddressSpans& covered) {
  comflash::AddressSpans gaps;
  std::uint32_t next = kSentFirst;  // the first address not yet known covered
  for (const auto& s : SpansInsideSent(covered)) {
    if (s.first > next) gaps.push_back({next, s.first - 1});
    next = s.last + 1;
  }
  if (next <= kSentLast) gaps.push_back({next, kSentLast});
  return gaps;
}

std::string SentRangeAddresses() {
  return Address(kSentFirst) + ".." + Address(kSentLast);
}

std::string SentBlocks() {
  return std::to_string(comflash::kFirstBlock) + ".." + std::to_string(comflash::kLastBlock);
}

std::string TriesPerBlockWord() {
  static const char* const kWords[] = {"no",  "one",   "two",   "three", "four", "five",
                                       "six", "seven", "eight", "nine",  "ten"};
  const int n = comflash::kAttemptsPerBlock;
  return n >= 0 && n <= 10 ? kWords[n] : std::to_string(n);
}

std::string SentRangeText() {
  return SentRangeAddresses() + " (blocks " + std::to_string(comflash::kFirstBlock) + " to " +
         std::to_string(comflash::kLastBlock) + ")";
}

}  // namespace cli
