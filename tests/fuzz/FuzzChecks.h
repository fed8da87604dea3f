// The properties the fuzz targets hold their code to, one function per target. Each takes
// arbitrary bytes and aborts with a message on stderr when a property is broken, so the same
// checks run under libFuzzer and over the saved corpus in the unit tests.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fuzzcheck {

// The bytes as a HEX file's text: the loader never writes outside the image, a refused file
// leaves it unchanged and is refused on the first line that breaks a rule, and an accepted
// file stores exactly the bytes its data records name.
void CheckHexLoader(const std::uint8_t* data, std::size_t size);

// The bytes as options, a way to split the stream and a stream from the host: every block
// the simulated bootloader accepts came in a well-formed frame, nothing else changes its
// memory, and every answer is one of the replies it may send.
void CheckFrameParser(const std::uint8_t* data, std::size_t size);

}  // namespace fuzzcheck
