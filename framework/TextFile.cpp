#include "framework/TextFile.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "framework/Exception.h"

namespace framework {

namespace {

namespace fs = std::filesystem;

std::string Quoted(const std::string& path) {
  return "\"" + path + "\"";
}

std::string SizeText(std::uintmax_t bytes) {
  constexpr std::uintmax_t kMiB = std::uintmax_t{1} << 20;
  if (bytes >= kMiB && bytes % kMiB == 0) return std::to_string(bytes / kMiB) + " MiB";
  return std::to_string(bytes) + " bytes";
}

const char* KindText(fs::file_type type) {
  switch (type) {
    case fs::file_type::fifo:
      return "a FIFO";
    case fs::file_type::character:
      return "a character device";
    case fs::file_type::block:
      return "a block device";
    case fs::file_type::socket:
      return "a socket";
    default:
      return "not a regular file";
  }
}

std::string Limit(std::uintmax_t maxBytes) {
  return "; at most " + SizeText(maxBytes) + " are read";
}

}  // namespace

std::vector<std::string> SplitTextLines(const std::string& text) {
  std::vector<std::string> lines;
  std::string::size_type start = 0;
  const auto n = text.size();
  for (std::string::size_type i = 0; i < n; ++i) {
    const char c = text[i];
    if (c != '\r' && c != '\n') continue;
    lines.emplace_back(text, start, i - start);
    if (c == '\r' && i + 1 < n && text[i + 1] == '\n') ++i;
    start = i + 1;
  }
  if (start < n) lines.emplace_back(text, start, n - start);
  return lines;
}

std::vector<std::string> ReadTextLines(const std::string& path, std::uintmax_t maxBytes) {
  // The path is UTF-8 text: on Windows a narrow path would be taken in the
  // ANSI code page, and a Cyrillic folder name would not be found.
  const fs::path file(std::u8string(path.begin(), path.end()));
  // Looked at before opening: opening a FIFO waits for a writer, and a device such as
  // /dev/zero never ends. A path that cannot be looked at is left to the open to explain.
  std::error_code ec;
  const fs::file_status status = fs::status(file, ec);
  if (!ec) {
    if (status.type() == fs::file_type::directory)
      throw EFileError("Cannot open file " + Quoted(path) + ". " + std::strerror(EISDIR));
    if (status.type() != fs::file_type::regular)
      throw EFileError("Cannot open file " + Quoted(path) + ". It is " + KindText(status.type()) +
                       ", not a regular file");
    const std::uintmax_t size = fs::file_size(file, ec);
    if (!ec && size > maxBytes)
      throw EFileError("Cannot open file " + Quoted(path) + ". The file is " +
                       std::to_string(size) + " bytes" + Limit(maxBytes));
  }
  errno = 0;
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    const int err = errno;
    throw EFileError("Cannot open file " + Quoted(path) + ". " +
                     (err != 0 ? std::strerror(err) : "Unknown error"));
  }
  // Bounded as well: the file may have grown or been replaced since it was looked at.
  std::string content;
  constexpr std::size_t kChunk = 64 * 1024;
  while (in) {
    const std::size_t old = content.size();
    content.resize(old + kChunk);
    in.read(content.data() + old, static_cast<std::streamsize>(kChunk));
    content.resize(old + static_cast<std::size_t>(in.gcount()));
    if (content.size() > maxBytes)
      throw EFileError("Cannot read file " + Quoted(path) + ". The file grew past " +
                       SizeText(maxBytes) + " while it was read" + Limit(maxBytes));
  }
  if (in.bad()) {
    const int err = errno;
    throw EFileError("Cannot read file " + Quoted(path) + ". " +
                     (err != 0 ? std::strerror(err) : "Read error"));
  }
  return SplitTextLines(content);
}

}  // namespace framework
