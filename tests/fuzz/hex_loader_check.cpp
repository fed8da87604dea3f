// The HEX loader against a plain reading of its rules, written for clarity rather than speed.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/core/HexLoader.h"
#include "framework/TextFile.h"
#include "tests/fuzz/CheckFailure.h"
#include "tests/fuzz/FuzzChecks.h"

namespace fuzzcheck {

namespace {

using comflash::FirmwareImageBytes;
using comflash::kFirmwareImageSize;

constexpr std::uint8_t kFill = 0xA5;

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

struct Expected {
  std::size_t bad_line = 0;              // the first line that breaks a rule (1-based), 0 for none
  std::vector<std::size_t> data_counts;  // one per data record, in file order
  std::vector<std::pair<std::uint32_t, std::uint8_t>> writes;
};

Expected Read(const std::vector<std::string>& lines) {
  Expected out;
  std::uint64_t base = 0;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    std::string s = lines[i];
    if (i == 0 && s.rfind("\xEF\xBB\xBF", 0) == 0) s.erase(0, 3);
    while (!s.empty() &&
           (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\x1A'))
      s.pop_back();
    if (s.empty()) continue;
    const auto bad = [&] {
      out.bad_line = i + 1;
      return out;
    };
    if (s[0] != ':') {
      // Text, unless it ends in ten or more hex digits that follow its start, its first
      // character, or a ':' in it: that may be a record whose start code was damaged.
      bool damaged = false;
      for (std::size_t from = 0; from < s.size(); ++from) {
        if (from > 1 && s[from - 1] != ':') continue;
        const std::size_t digits = s.size() - from;
        if (digits >= 10 && std::all_of(s.begin() + static_cast<std::ptrdiff_t>(from), s.end(),
                                        [](char c) { return HexDigit(c) >= 0; }))
          damaged = true;
      }
      if (!damaged) continue;
      return bad();
    }
    if (!std::all_of(s.begin() + 1, s.end(), [](char c) { return HexDigit(c) >= 0; })) return bad();
    if (s.size() < 11 || s.size() % 2 == 0) return bad();
    std::vector<std::uint8_t> bytes;
    for (std::size_t k = 1; k < s.size(); k += 2)
      bytes.push_back(static_cast<std::uint8_t>(HexDigit(s[k]) * 16 + HexDigit(s[k + 1])));
    const std::size_t count = bytes[0];
    if (s.size() != 11 + 2 * count) return bad();
    unsigned sum = 0;
    for (const auto b : bytes) sum += b;
    if (sum % 256 != 0) return bad();
    const unsigned type = bytes[3];
    const std::uint64_t offset = bytes[1] * 256u + bytes[2];
    if (type == 0) {
      if (count > 0 && base + offset + count > kFirmwareImageSize) return bad();
      for (std::size_t j = 0; j < count; ++j)
        out.writes.emplace_back(static_cast<std::uint32_t>(base + offset + j), bytes[4 + j]);
      out.data_counts.push_back(count);
    } else if (type == 2 || type == 4) {
      if (count != 2) return bad();
      const std::uint64_t value = bytes[4] * 256u + bytes[5];
      base = type == 2 ? value * 16 : value * 65536;
    }
  }
  return out;
}

// Allocated on their own, so that AddressSanitizer sees any write past the image.
FirmwareImageBytes& Image() {
  static const std::unique_ptr<FirmwareImageBytes> image = std::make_unique<FirmwareImageBytes>();
  return *image;
}
FirmwareImageBytes& Filled() {
  static const std::unique_ptr<FirmwareImageBytes> filled = [] {
    auto f = std::make_unique<FirmwareImageBytes>();
    f->fill(kFill);
    return f;
  }();
  return *filled;
}

}  // namespace

void CheckHexLoader(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::vector<std::string> lines = framework::SplitTextLines(text);
  const Expected expected = Read(lines);
  FirmwareImageBytes& image = Image();
  FirmwareImageBytes& filled = Filled();
  image.fill(kFill);

  std::vector<std::string> log;
  try {
    log = comflash::LoadHexRecords(lines, "fuzz.hex", image);
  } catch (const comflash::EHexFormatError& e) {
    FUZZ_CHECK(std::memcmp(image.data(), filled.data(), kFirmwareImageSize) == 0,
               "a refused file changed the image");
    FUZZ_CHECK(e.LineNumber() == expected.bad_line,
               "refused on line %zu, but the first line that breaks a rule is %zu: %s",
               e.LineNumber(), expected.bad_line, e.what());
    FUZZ_CHECK(e.Message() == "fuzz.hex:" + std::to_string(e.LineNumber()) + ": " + e.Reason(),
               "message \"%s\" does not name the file and line", e.what());
    return;
  }
  FUZZ_CHECK(expected.bad_line == 0, "accepted a file whose line %zu breaks a rule",
             expected.bad_line);
  FUZZ_CHECK(log.size() == expected.data_counts.size(), "%zu log lines for %zu data records",
             log.size(), expected.data_counts.size());
  for (std::size_t k = 0; k < log.size(); ++k)
    FUZZ_CHECK(
        log[k].size() == 8 + 3 * expected.data_counts[k] && log[k].compare(4, 4, " -> ") == 0,
        "log line %zu \"%s\" is not the record's address and %zu bytes", k, log[k].c_str(),
        expected.data_counts[k]);
  for (const auto& [address, value] : expected.writes) filled[address] = value;
  const bool same = std::memcmp(image.data(), filled.data(), kFirmwareImageSize) == 0;
  std::size_t first = 0;
  while (!same && image[first] == filled[first]) ++first;
  for (const auto& [address, value] : expected.writes) filled[address] = kFill;
  FUZZ_CHECK(same, "the image differs from the records at 0x%05zX", first);
}

}  // namespace fuzzcheck
