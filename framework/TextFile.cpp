#include "framework/TextFile.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "framework/Exception.h"

namespace framework {

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

std::vector<std::string> ReadTextLines(const std::string& path) {
  // The path is UTF-8 text: on Windows a narrow path would be taken in the
  // ANSI code page, and a Cyrillic folder name would not be found.
  const std::filesystem::path file(std::u8string(path.begin(), path.end()));
  std::error_code ec;
  if (std::filesystem::is_directory(file, ec))
    throw EFileError("Cannot open file \"" + path + "\". " + std::strerror(EISDIR));
  errno = 0;
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    const int err = errno;
    throw EFileError("Cannot open file \"" + path + "\". " +
                     (err != 0 ? std::strerror(err) : "Unknown error"));
  }
  std::ostringstream content;
  content << in.rdbuf();
  if (in.bad()) {
    const int err = errno;
    throw EFileError("Cannot read file \"" + path + "\". " +
                     (err != 0 ? std::strerror(err) : "Read error"));
  }
  return SplitTextLines(content.str());
}

}  // namespace framework
