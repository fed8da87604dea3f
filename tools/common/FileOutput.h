// Writing whole buffers to descriptors and files.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace tools {

// Writes every byte to a blocking descriptor, going on after EINTR. Throws
// std::runtime_error "writing <what>: ...".
void WriteAll(int fd, std::span<const std::uint8_t> bytes, const std::string& what);

// Writes to a non-blocking descriptor until it would block, going on after
// EINTR; returns how many bytes went. Throws std::runtime_error "writing <what>: ...".
std::size_t WriteWhatFits(int fd, std::span<const std::uint8_t> bytes, const std::string& what);

// Replaces the file at path with bytes through a temporary file and a rename,
// so a reader never sees a half-written file. Throws std::runtime_error.
void WriteFileAtomically(const std::string& path, std::span<const std::uint8_t> bytes);

}  // namespace tools
