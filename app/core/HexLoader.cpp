#include "app/core/HexLoader.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <string_view>
#include <utility>

#include "framework/TextFile.h"

namespace comflash {

namespace {

enum RecordType : std::uint8_t {
  kData = 0x00,
  kEndOfFile = 0x01,
  kExtendedSegmentAddress = 0x02,
  kExtendedLinearAddress = 0x04,
};

// ':' + count (2) + address (4) + type (2) + checksum (2).
constexpr std::size_t kMinRecordLength = 11;
constexpr std::size_t kDataStart = 9;  // 0-based position of the first data digit

// Digit value by character, -1 for a non-digit: one lookup per character.
constexpr std::array<std::int8_t, 256> kHexValue = [] {
  std::array<std::int8_t, 256> table{};
  table.fill(-1);
  for (int i = 0; i < 10; ++i) table['0' + i] = static_cast<std::int8_t>(i);
  for (int i = 0; i < 6; ++i) {
    table['A' + i] = static_cast<std::int8_t>(10 + i);
    table['a' + i] = static_cast<std::int8_t>(10 + i);
  }
  return table;
}();

// Only call on text already checked to hold hex digits.
inline std::uint8_t HexByte(const char* p) {
  return static_cast<std::uint8_t>((kHexValue[static_cast<unsigned char>(p[0])] << 4) |
                                   kHexValue[static_cast<unsigned char>(p[1])]);
}

// Ctrl-Z (0x1A) is the end-of-text mark that DOS-era tools append to a file.
inline bool IsTrailingSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\x1A';
}

std::string_view TrimTrailing(std::string_view line) {
  std::size_t n = line.size();
  while (n > 0 && IsTrailingSpace(line[n - 1])) --n;
  return line.substr(0, n);
}

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

bool AllHexDigits(std::string_view text) {
  for (const char c : text)
    if (kHexValue[static_cast<unsigned char>(c)] < 0) return false;
  return true;
}

// Count, address, type and checksum: the digits every record holds after its ':'.
constexpr std::size_t kMinRecordDigits = kMinRecordLength - 1;

bool LooksLikeARecordBody(std::string_view digits) {
  return digits.size() >= kMinRecordDigits && AllHexDigits(digits);
}

// A line not starting with ':' is text (a comment, a tool's banner) and is skipped, unless it
// may be a damaged record: one whose start code was lost or changed into another character,
// or one with something in front of its ':'. Skipping one of those would leave a gap in the
// image, so it is refused instead.
bool MayBeADamagedRecord(std::string_view text) {
  if (LooksLikeARecordBody(text) || LooksLikeARecordBody(text.substr(1))) return true;
  const std::size_t colon = text.rfind(':');
  return colon != std::string_view::npos && LooksLikeARecordBody(text.substr(colon + 1));
}

std::string Hex(std::uint64_t value, int digits) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "0x%0*llX", digits, static_cast<unsigned long long>(value));
  return buf;
}

std::string Printable(char c) {
  const auto u = static_cast<unsigned char>(c);
  if (u >= 0x20 && u < 0x7F) return std::string("'") + c + "'";
  char buf[8];
  std::snprintf(buf, sizeof buf, "0x%02X", u);
  return buf;
}

// A data record that passed validation; text points into the caller's line list.
struct DataRecord {
  const char* text;
  std::uint32_t address;  // base + offset, below kFirmwareImageSize
  std::uint8_t count;
  std::size_t line;  // 1-based
};

// The first byte that a later record gives differently from an earlier one; throws on its line.
void RefuseConflicts(const std::vector<DataRecord>& records, const std::string& fileName) {
  // The line (1-based) that stored each address so far, 0 for none.
  std::vector<std::size_t> owner(kFirmwareImageSize, 0);
  std::vector<std::uint8_t> value(kFirmwareImageSize, 0);
  for (const DataRecord& r : records) {
    const char* p = r.text + kDataStart;
    for (unsigned j = 0; j < r.count; ++j, p += 2) {
      const std::uint32_t a = r.address + j;
      const std::uint8_t b = HexByte(p);
      if (owner[a] != 0 && value[a] != b)
        throw EHexFormatError(fileName, r.line,
                              "data at " + Hex(a, 5) + " is " + Hex(b, 2) + ", line " +
                                  std::to_string(owner[a]) + " gave it " + Hex(value[a], 2) +
                                  " (two builds in one file?)");
      owner[a] = r.line;
      value[a] = b;
    }
  }
}

AddressSpans MergeSpans(const std::vector<DataRecord>& records) {
  AddressSpans spans;
  for (const DataRecord& r : records)
    if (r.count > 0) spans.push_back({r.address, r.address + r.count - 1u});
  std::sort(spans.begin(), spans.end(),
            [](const AddressSpan& a, const AddressSpan& b) { return a.first < b.first; });
  AddressSpans merged;
  for (const AddressSpan& s : spans) {
    if (!merged.empty() && s.first <= merged.back().last + 1) {
      merged.back().last = std::max(merged.back().last, s.last);
    } else {
      merged.push_back(s);
    }
  }
  return merged;
}

}  // namespace

EHexFormatError::EHexFormatError(std::string fileName, std::size_t lineNumber, std::string reason)
    : framework::Exception(fileName + ":" + std::to_string(lineNumber) + ": " + reason),
      file_name_(std::move(fileName)),
      line_number_(lineNumber),
      reason_(std::move(reason)) {}

std::vector<std::string> LoadHexRecords(const std::vector<std::string>& lines,
                                        const std::string& fileName, FirmwareImageBytes& image,
                                        AddressSpans* covered, const HexLoadRules& rules) {
  // Pass 1 checks every record before a byte is stored: a flashing tool that writes half of a
  // damaged file into a device is worse than one that refuses it.
  std::vector<DataRecord> records;
  records.reserve(lines.size());
  std::uint64_t base = 0;    // 64 bits: a 04 base plus offset and count can pass 32 bits
  std::size_t endLine = 0;   // the first end-of-file record's line, 0 before it
  std::size_t lastLine = 0;  // the last line that holds a record
  for (std::size_t i = 0; i < lines.size(); ++i) {
    std::string_view text = lines[i];
    if (i == 0 && text.substr(0, kUtf8Bom.size()) == kUtf8Bom) text.remove_prefix(kUtf8Bom.size());
    text = TrimTrailing(text);
    if (text.empty()) continue;
    const auto fail = [&](std::string reason) {
      throw EHexFormatError(fileName, i + 1, std::move(reason));
    };
    if (text[0] != ':') {
      if (!MayBeADamagedRecord(text)) continue;
      fail("record does not start with ':'");
    }
    for (std::size_t k = 1; k < text.size(); ++k) {
      if (kHexValue[static_cast<unsigned char>(text[k])] < 0)
        fail("bad hex digit " + Printable(text[k]) + " at column " + std::to_string(k + 1));
    }
    if (text.size() < kMinRecordLength)
      fail("record too short (" + std::to_string(text.size()) + " characters, at least " +
           std::to_string(kMinRecordLength) + " needed)");
    const std::uint8_t count = HexByte(text.data() + 1);
    const std::size_t expected = kMinRecordLength + 2 * std::size_t{count};
    if (text.size() != expected)
      fail("byte count " + std::to_string(count) + " needs a record of " +
           std::to_string(expected) + " characters, the line has " + std::to_string(text.size()));
    unsigned sum = 0;
    for (std::size_t k = 1; k < text.size(); k += 2) sum += HexByte(text.data() + k);
    if ((sum & 0xFF) != 0) {
      const unsigned stated = HexByte(text.data() + text.size() - 2);
      fail("checksum " + Hex(stated, 2) + " is wrong, the record needs " +
           Hex((stated - sum) & 0xFF, 2));
    }
    lastLine = i + 1;
    const std::uint8_t type = HexByte(text.data() + 7);
    const unsigned offset = (unsigned{HexByte(text.data() + 3)} << 8) | HexByte(text.data() + 5);
    switch (type) {
      case kData: {
        const std::uint64_t address = base + offset;
        if (count > 0 && address + count > kFirmwareImageSize)
          fail("data at " + Hex(address, 5) + ".." + Hex(address + count - 1, 5) +
               " lies outside the image (" + Hex(kFirmwareImageSize, 5) + " bytes)");
        if (rules.refuseDataAfterEnd && endLine != 0)
          fail("data record after the end-of-file record of line " + std::to_string(endLine) +
               " (two files joined?)");
        // A count-0 record stores nothing, so even an address past the image is harmless.
        records.push_back(
            {text.data(), static_cast<std::uint32_t>(count > 0 ? address : 0), count, i + 1});
        break;
      }
      case kExtendedSegmentAddress:
      case kExtendedLinearAddress: {
        if (count != 2)
          fail("address record (type " + Hex(type, 2) + ") needs 2 data bytes, has " +
               std::to_string(count));
        const std::uint64_t value = (std::uint64_t{HexByte(text.data() + kDataStart)} << 8) |
                                    HexByte(text.data() + kDataStart + 2);
        base = type == kExtendedSegmentAddress ? value * 16 : value * 65536;
        break;
      }
      case kEndOfFile:  // records after it are still handled
        if (endLine == 0) endLine = i + 1;
        break;
      default:
        // 03 and 05 (start addresses) and the types of later formats store nothing here.
        break;
    }
  }

  if (rules.requireEndOfFile && endLine == 0 && lastLine != 0)
    throw EHexFormatError(fileName, lastLine,
                          "the file ends without an end-of-file record (:00000001FF): it may "
                          "be cut short");
  if (rules.refuseConflicts) RefuseConflicts(records, fileName);

  // Pass 2 cannot fail: store and log.
  std::vector<std::string> log;
  log.reserve(records.size());
  constexpr std::string_view kArrow = " -> ";
  for (const DataRecord& r : records) {
    std::string& entry = log.emplace_back();
    entry.reserve(4 + kArrow.size() + 3 * std::size_t{r.count});
    entry.append(r.text + 3, 4);
    entry.append(kArrow);
    const char* p = r.text + kDataStart;
    std::uint8_t* out = image.data() + r.address;
    for (unsigned j = 0; j < r.count; ++j, p += 2) {
      entry.push_back(' ');
      entry.append(p, 2);
      out[j] = HexByte(p);
    }
  }
  if (covered) *covered = MergeSpans(records);
  return log;
}

std::vector<std::string> LoadHexFile(const std::string& path, FirmwareImageBytes& image,
                                     AddressSpans* covered, const HexLoadRules& rules) {
  return LoadHexRecords(framework::ReadTextLines(path), path, image, covered, rules);
}

}  // namespace comflash
