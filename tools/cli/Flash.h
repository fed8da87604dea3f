// One port's upload in comflash-cli: open, reset and purge, run, close, on
// every way out, and an interruption honoured at the run's next safe point.
// The pieces are shared with the production loop, which keeps its port open
// from board to board.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/core/UploadSession.h"
#include "framework/Application.h"
#include "serial/device/SerialApi.h"
#include "tools/cli/Image.h"
#include "tools/cli/Output.h"
#include "tools/cli/Reporter.h"
#include "tools/cli/Result.h"

namespace cli {

// Uploads image's bytes to port and says
// what happened on out; never throws for the port's errors. A device reset
// the adapter refuses is only a warning: the purge and the upload go on.
PortResult FlashPort(const std::string& port, const LoadedImage& image, Output& out,
                     ProgressStyle style, serial::SerialApi& api = serial::PlatformSerialApi());

// Thrown from the run's message hook (ProcessMessagesOrStop): at the start of
// every block write, before a byte of the frame is sent, and after the
// handshake. The run passes it on, the port is closed behind it.
struct Interrupted {};

// The session's message hook: processes pending messages, then throws
// Interrupted once the program was interrupted.
void ProcessMessagesOrStop();

// The port's own threads report an error no handler caught through the
// application; here it is the same failure the run then ends with, so it is
// said once, by the run, with the port's name (several ports share one
// standard error). One that differs is said, prefixed, by Flush.
class PortApplication : public framework::ConsoleApplication {
 public:
  explicit PortApplication(Output& out);
  ~PortApplication() override;
  PortApplication(const PortApplication&) = delete;
  PortApplication& operator=(const PortApplication&) = delete;

  void ShowException(const std::string& message) override;
  // Says what was reported besides `said`.
  void Flush(const std::string& said);

 private:
  Output& out_;
  std::mutex m_;
  std::vector<std::string> pending_;
};

// Why a port could not be opened: the error line and the hint for its kind
// ("" for none).
struct OpenFailure {
  std::string error;
  std::string hint;
};

// Names the session's port and opens it; nothing on success.
std::optional<OpenFailure> TryOpen(comflash::UploadSession& session, const std::string& port);

// Resets the device (refused: a warning on out) and purges both directions.
void ResetAndPurge(comflash::UploadSession& session, Output& out);

// Closing releases the line (the exclusive mark and the lock) for the next
// run; an error of the close is said, never thrown.
void ClosePort(comflash::UploadSession& session, Output& out);

// One upload on the session's open port (after ResetAndPurge with
// resetFirst), reported through reporter, which must hear what the session's
// observer hears; how it ended, said on out. The port stays open.
PortResult UploadOnOpenPort(comflash::UploadSession& session, const LoadedImage& image,
                            Reporter& reporter, Output& out, const std::string& port,
                            bool resetFirst);

}  // namespace cli
