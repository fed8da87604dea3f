// Reading a text file into a list of lines.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace framework {

// Far above any text file this program reads; a larger one is refused before reading.
inline constexpr std::uintmax_t kMaxTextFileBytes = std::uintmax_t{64} << 20;

// CR, LF and CR LF each end a line; a last line without an end is kept;
// nothing is trimmed. Only a regular file of at most maxBytes is read: a FIFO,
// a device or a directory is refused before it is opened (so opening never
// blocks and reading never runs without end). Throws EFileError naming the
// path and the reason.
std::vector<std::string> ReadTextLines(const std::string& path,
                                       std::uintmax_t maxBytes = kMaxTextFileBytes);

// The same split, over text already in memory.
std::vector<std::string> SplitTextLines(const std::string& text);

}  // namespace framework
