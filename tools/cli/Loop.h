// comflash-cli --loop: a production line on one port, board after board.
// The port is kept open, and opened again as soon as it is back when it went
// away (a USB-serial adapter that sits on the board). The loop greets the
// line until a board answers, writes it, and then greets it until it stops
// answering (taken off, or gone into its application) before it waits for
// the next: no board is written twice.
#pragma once

#include <chrono>
#include <string>

#include "serial/device/SerialApi.h"
#include "tools/cli/Image.h"
#include "tools/cli/Output.h"
#include "tools/cli/Reporter.h"

namespace cli {

struct LoopPacing {
  // Between two tries to open a port that is not there (or not free).
  std::chrono::milliseconds reopen{500};
  // Between two greetings of a board that still answers. A fixture must stay
  // empty longer than this between two boards, or the second is taken for
  // the first.
  std::chrono::milliseconds probe{100};
  // The least time from the start of one greeting of an empty fixture to the
  // next: a line that answers at once with something else (an application
  // talking) is not greeted without a pause.
  std::chrono::milliseconds greet{250};
  // Greetings answered wrongly in a row that count as the board gone; one
  // wait without a byte counts at once.
  int wrongAnswers = 3;
};

// Writes image into board after board on port until the program is
// interrupted; each board's line (and JSON object) and at the end the
// session's are said on out. Returns 0 when every board that was started was
// written, else the highest exit status among them (an interrupted board's
// is the interruption's).
int FlashLoop(const std::string& port, const LoadedImage& image, Output& out, ProgressStyle style,
              serial::SerialApi& api = serial::PlatformSerialApi(), LoopPacing pacing = {});

}  // namespace cli
