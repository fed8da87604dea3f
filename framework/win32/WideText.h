// UTF-8 inside the program, UTF-16 at the system's wide calls: file names,
// command lines, window texts, system messages.
#pragma once

#include <string>

namespace framework {

std::wstring Widen(const std::string& utf8);
std::string Narrow(const std::wstring& utf16);
std::string Narrow(const wchar_t* utf16, std::size_t length);

}  // namespace framework
