#include "tools/cli/Result.h"

#include <cstdio>

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

std::string SummaryLine(const PortResult& r) {
  std::string what;
  switch (r.outcome) {
    case Outcome::kCompleted:
      what = "completed";
      break;
    case Outcome::kHandshakeRefused:
      what = "handshake refused";
      break;
    case Outcome::kBlockFailed:
      what = "block " + std::to_string(r.block) + " failed six times";
      break;
    case Outcome::kPortError:
      what = "port error";
      break;
    case Outcome::kInterrupted:
      what = r.block ? "interrupted at block " + std::to_string(r.block)
                     : std::string("interrupted before block 3");
      break;
    case Outcome::kFileError:
      what = "file error";
      break;
  }
  return "summary: " + what + ", " + std::to_string(r.blocksWritten) + " of 123 blocks written, " +
         std::to_string(r.retries) + (r.retries == 1 ? " retry, " : " retries, ") +
         Seconds(r.seconds) + " s, CRC-32 " + Hex8(r.crc32) + " over 0x00C00..0x1F7FF, port " +
         r.port;
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", u);
      out += buf;
    } else {
      out += c;  // UTF-8 passes through
    }
  }
  return out + "\"";
}

std::string JsonObject(const PortResult& r) {
  return "{\"port\":" + JsonString(r.port) + ",\"outcome\":\"" + OutcomeName(r.outcome) +
         "\",\"exit_status\":" + std::to_string(r.exitStatus) +
         ",\"blocks\":" + std::to_string(r.blocksWritten) +
         ",\"retries\":" + std::to_string(r.retries) + ",\"seconds\":" + Seconds(r.seconds) +
         ",\"crc32\":\"" + Hex8(r.crc32) +
         "\",\"error\":" + (r.error.empty() ? std::string("null") : JsonString(r.error)) + "}";
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
      return "ended with status " + std::to_string(status);
  }
}

}  // namespace cli
