#include "tools/cli/Result.h"

#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "tools/cli/Image.h"
#include "tools/cli/Reporter.h"

namespace cli {

namespace {

std::string Hex8(std::uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%08X", static_cast<unsigned>(v));
  return buf;
}

std::string Seconds(double s) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.2f", s);
  return buf;
}

}  // namespace

const char* OutcomeName(Outcome outcome) {
  switch (outcome) {
    case Outcome::kCompleted:
      return "completed";
    case Outcome::kHandshakeRefused:
      return "handshake-refused";
    case Outcome::kBlockFailed:
      return "block-failed";
    case Outcome::kPortError:
      return "port-error";
    case Outcome::kInterrupted:
      return "interrupted";
    case Outcome::kFileError:
      return "file-error";
  }
  return "port-error";
}

namespace {

std::string Describe(const PortResult& r) {
  std::string what;
  switch (r.outcome) {
    case Outcome::kCompleted:
      what = "completed";
      break;
    case Outcome::kHandshakeRefused:
      what = "handshake refused";
      break;
    case Outcome::kBlockFailed:
      what = "block " + std::to_string(r.block) + " failed " + TriesPerBlockWord() + " times";
      break;
    case Outcome::kPortError:
      what = "port error";
      break;
    case Outcome::kInterrupted:
      what = r.block ? "interrupted at block " + std::to_string(r.block)
                     : "interrupted before block " + std::to_string(comflash::kFirstBlock);
      break;
    case Outcome::kFileError:
      what = "file error";
      break;
  }
  return what + ", " + std::to_string(r.blocksWritten) + " of " + std::to_string(kBlockCount) +
         " blocks written, " + std::to_string(r.retries) +
         (r.retries == 1 ? " retry, " : " retries, ") + Seconds(r.seconds) + " s, CRC-32 " +
         (r.crc32 ? Hex8(*r.crc32) : "none") + " over " + SentRangeAddresses() + ", port " + r.port;
}

}  // namespace

std::string SummaryLine(const PortResult& r) {
  return "summary: " + Describe(r);
}

std::string BoardLine(const PortResult& r) {
  return "board " + std::to_string(r.board.value_or(0)) + ": " + Describe(r);
}

std::string JsonObject(const PortResult& r) {
  // Ordered: the keys come in the documented order.
  using json = nlohmann::ordered_json;
  json o;
  o["port"] = r.port;
  if (r.board) o["board"] = *r.board;
  o["outcome"] = OutcomeName(r.outcome);
  o["exit_status"] = r.exitStatus;
  o["blocks"] = r.counted ? json(r.blocksWritten) : json();
  o["retries"] = r.counted ? json(r.retries) : json();
  // Hundredths, as the summary line shows them.
  o["seconds"] = r.counted ? json(std::round(r.seconds * 100) / 100) : json();
  o["crc32"] = r.crc32 ? json(Hex8(*r.crc32)) : json();
  o["error"] = r.error.empty() ? json() : json(r.error);
  return o.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string DescribeExitStatus(int status) {
  switch (status) {
    case kExitOk:
      return "completed";
    case kExitHandshake:
      return "handshake refused";
    case kExitBlock:
      return "a block failed";
    case kExitPort:
      return "port error";
    case kExitFile:
      return "file error";
    case kExitOutput:
      return "completed, but its output could not all be written";
    case kExitUsage:
      return "usage error";
    case 129:
    case 130:
    case 141:
    case 143:
      return "interrupted";
    case -1:
      return "could not be started";
    default:
      if (status > 128 && status < 128 + 65)
        return "ended by signal " + std::to_string(status - 128);
      return "ended with status " + std::to_string(status);
  }
}

}  // namespace cli
