// Reading a text file into a list of lines.
#pragma once

#include <string>
#include <vector>

namespace framework {

// CR, LF and CR LF each end a line; a last line without an end is kept;
// nothing is trimmed. Throws EFileError naming the path and the system's reason.
std::vector<std::string> ReadTextLines(const std::string& path);

// The same split, over text already in memory.
std::vector<std::string> SplitTextLines(const std::string& text);

}  // namespace framework
