// The HEX file comflash-cli sends: loaded into the firmware image, checked
// against the addresses the device receives, and fingerprinted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "app/core/BootloaderLink.h"
#include "app/core/FirmwareImage.h"
#include "app/core/HexLoader.h"
#include "app/core/UploadRun.h"

namespace cli {

// The addresses the upload sends: the run's first to last block.
inline constexpr std::uint32_t kSentFirst = comflash::kFirstBlock * comflash::kBlockSize;
inline constexpr std::uint32_t kSentLast = (comflash::kLastBlock + 1) * comflash::kBlockSize - 1;

// The flasher's image owns its bytes (the window keeps the program's one
// image): all zero, then what the file's records set.
struct LoadedImage {
  std::unique_ptr<comflash::FirmwareImageBytes> bytes =
      std::make_unique<comflash::FirmwareImageBytes>();
  std::vector<std::string> recordLines;  // the loader's line per data record
  comflash::AddressSpans covered;
  std::uint32_t crc32 = 0;  // of the image's bytes kSentFirst..kSentLast
};

// Loads path into an image of its own under the loader's strict rules (a
// file cut short, joined or mixed from two builds is refused). Throws for an
// unreadable or malformed file, and for one that is no Intel HEX at all (an
// ELF, a raw binary), saying so.
LoadedImage LoadImage(const std::string& path);

// CRC-32 (IEEE 802.3, as zlib and gzip compute it).
std::uint32_t Crc32(const std::uint8_t* data, std::size_t size);

// "0xAAAAA..0xBBBBB, 0xCCCCC..0xDDDDD", at most a few spans and a count of
// the rest; "no data" for none.
std::string DescribeSpans(const comflash::AddressSpans& spans);

// The covered bytes that fall inside, respectively outside, the sent range.
comflash::AddressSpans SpansInsideSent(const comflash::AddressSpans& covered);
comflash::AddressSpans SpansOutsideSent(const comflash::AddressSpans& covered);
// The parts of the sent range that covered leaves empty.
comflash::AddressSpans GapsInSent(const comflash::AddressSpans& covered);

// The sent range as addresses and blocks ("0x... (blocks F to L)"), for messages;
// every number comes from the core.
std::string SentRangeText();
// The sent range as addresses ("0x...AAAAA..0x...BBBBB").
std::string SentRangeAddresses();
// "F..L", the first and last block sent.
std::string SentBlocks();
// "six", the tries a block gets, as a word for messages.
std::string TriesPerBlockWord();

}  // namespace cli
