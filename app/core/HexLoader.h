// Loading an Intel HEX file into the firmware image.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "app/core/FirmwareImage.h"
#include "framework/Exception.h"

namespace comflash {

// A record of a HEX file is malformed. The message reads "FILE:LINE: reason".
class EHexFormatError : public framework::Exception {
 public:
  EHexFormatError(std::string fileName, std::size_t lineNumber, std::string reason);

  const std::string& FileName() const { return file_name_; }
  std::size_t LineNumber() const { return line_number_; }  // 1-based
  const std::string& Reason() const { return reason_; }

 private:
  std::string file_name_;
  std::size_t line_number_;
  std::string reason_;
};

// The addresses a file's data records store into: ascending, merged spans.
struct AddressSpan {
  std::uint32_t first;
  std::uint32_t last;  // inclusive
};
using AddressSpans = std::vector<AddressSpan>;

// Rules beyond the record format, for a caller that must not send an image the file may not
// mean: a file cut short, two files joined, two builds mixed. Off by default (the window keeps
// its loader's behaviour).
struct HexLoadRules {
  // A file with records must hold an end-of-file record (01); without one it is refused on its
  // last record's line. A file without any record is left to the caller.
  bool requireEndOfFile = false;
  // A data record after the end-of-file record is refused on its line.
  bool refuseDataAfterEnd = false;
  // Two data records that give one address different bytes: the later is refused on its line.
  bool refuseConflicts = false;

  static HexLoadRules Strict() { return {true, true, true}; }
};

// Validates every line first and throws EHexFormatError for the first bad record, leaving the
// image untouched. Then stores the bytes of the data records (00) at segment base + offset + j,
// where the base starts at 0 and is set by every 02 (value x 16) and 04 (value x 65536) record.
// End-of-file (01) does not stop the loop; every other type (03, 05, 06 and above) is checked
// like any record and then skipped. Harmless extras that real tools write are accepted: a UTF-8
// byte-order mark before the first line, trailing blanks, tabs, CR and Ctrl-Z (0x1A), blank
// lines, and a line of text that is no record (a comment, a tool's banner) anywhere in the file.
// What would corrupt the image is refused: a record with a non-hex digit, a byte count that
// disagrees with its length, a wrong checksum, data at 0x20000 or above, and a line that may be
// a damaged record (hex digits without their ':', or with another character or something in
// front of it).
// Returns one log line per data record: the address text, " -> ", and " XX" per data byte,
// characters as they stand in the file.
// fileName is used only in error messages. When covered is given, it receives the addresses the
// data records stored into. rules adds the checks of HexLoadRules; a file they refuse leaves the
// image untouched too.
std::vector<std::string> LoadHexRecords(const std::vector<std::string>& lines,
                                        const std::string& fileName, FirmwareImageBytes& image,
                                        AddressSpans* covered = nullptr,
                                        const HexLoadRules& rules = {});

// Reads the file with framework::ReadTextLines (its EFileError passes through) and loads it.
std::vector<std::string> LoadHexFile(const std::string& path, FirmwareImageBytes& image,
                                     AddressSpans* covered = nullptr,
                                     const HexLoadRules& rules = {});

}  // namespace comflash
