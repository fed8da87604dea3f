#include "tools/cli/Flash.h"

#include <chrono>
#include <exception>
#include <mutex>
#include <vector>

#include "app/core/UploadRun.h"
#include "app/core/UploadSession.h"
#include "framework/Application.h"
#include "serial/VaComm.h"
#include "tools/cli/Image.h"
#include "tools/cli/Platform.h"

namespace cli {

namespace {

// Thrown from the run's message hook: at the start of every block write,
// before a byte of the frame is sent, and after the handshake. The run
// passes it on, the port is closed behind it.
struct Interrupted {};

void ProcessMessagesOrStop() {
  framework::App().ProcessMessages();
  if (InterruptStatus() != 0) throw Interrupted{};
}

// The port's own threads report an error no handler caught through the
// application; here it is the same failure the run then ends with, so it is
// said once, by the run, with the port's name (several ports share one
// standard error). One that differs is said, prefixed, when the run ends.
class PortApplication : public framework::ConsoleApplication {
 public:
  explicit PortApplication(Output& out) : out_(out) { framework::SetApplication(this); }
  ~PortApplication() override { framework::SetApplication(nullptr); }
  PortApplication(const PortApplication&) = delete;
  PortApplication& operator=(const PortApplication&) = delete;

  void ShowException(const std::string& message) override {
    std::lock_guard lock(m_);
    pending_.push_back(message);
  }
  // Says what was reported besides `said`.
  void Flush(const std::string& said) {
    std::vector<std::string> pending;
    {
      std::lock_guard lock(m_);
      pending.swap(pending_);
    }
    for (const auto& m : pending)
      if (said.find(m) == std::string::npos) out_.Message(m);
  }

 private:
  Output& out_;
  std::mutex m_;
  std::vector<std::string> pending_;
};

// Some USB-serial drivers refuse the device reset (errors 1, 31, 87) where
// the inbox UART driver treats it as a no-op: with it a warning, such an
// adapter can still be flashed. The purge still runs and raises its own error.
void ResetAndPurge(comflash::UploadSession& session, Output& out) {
  try {
    session.Port().ResetDevice();
  } catch (const serial::EVaCommError& e) {
    out.Message("warning: the adapter refused the device reset, going on without it: " +
                std::string(e.what()));
  }
  session.Port().PurgeAll();
}

// Closing releases the line (the exclusive mark and the lock) for the next run.
void ClosePort(comflash::UploadSession& session, Output& out) {
  try {
    session.Port().Close();
  } catch (const std::exception& e) {
    out.Message("closing the port: " + std::string(e.what()));
  }
}

}  // namespace

PortResult FlashPort(const std::string& port, const LoadedImage& image, Output& out,
                     ProgressStyle style, serial::SerialApi& api) {
  const auto t0 = std::chrono::steady_clock::now();
  Reporter reporter(out, style, port);
  PortResult r;
  r.port = port;
  r.crc32 = image.crc32;
  const auto finish = [&](Outcome outcome, int status) {
    r.outcome = outcome;
    r.exitStatus = status;
    r.blocksWritten = reporter.BlocksWritten();
    r.retries = reporter.Retries();
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    return r;
  };
  const auto interrupted = [&] {
    r.block = reporter.CurrentBlock();
    r.error = r.block ? "interrupted at block " + std::to_string(r.block) + " of " + SentBlocks() +
                            ": the device holds an incomplete image"
                      : "interrupted before block " + std::to_string(comflash::kFirstBlock) +
                            " of " + SentBlocks() + ": nothing was written to the device";
    out.Message(r.error);
    return finish(Outcome::kInterrupted, InterruptStatus());
  };

  if (InterruptStatus() != 0) return interrupted();
  PortApplication app(out);
  // Every way out below goes through finish.
  const auto said = [&] { app.Flush(r.error); };
  struct FlushAtEnd {
    ~FlushAtEnd() { flush(); }
    const decltype(said)& flush;
  } flushAtEnd{said};
  comflash::UploadSession session(reporter, ProcessMessagesOrStop, api);
  try {
    session.OpenPort(port);
  } catch (const std::exception& e) {
    r.error = "cannot open port " + port + ": " + e.what();
    out.Message(r.error);
    if (const auto* portError = dynamic_cast<const serial::EVaCommError*>(&e)) {
      if (portError->Kind() == serial::TErrorKind::ekNotFound) out.Message(PortNotFoundHint(port));
      if (portError->Kind() == serial::TErrorKind::ekNoPermission)
        out.Message(
            "you may not use this device; join its group (usually 'dialout': sudo usermod "
            "-aG dialout $USER, then log in again)");
      if (portError->Kind() == serial::TErrorKind::ekBusy)
        out.Message("another program holds " + port + "; end it and run again");
    }
    return finish(Outcome::kPortError, kExitPort);
  }

  try {
    ResetAndPurge(session, out);
    const auto outcome = session.Run(*image.bytes);
    ClosePort(session, out);
    // A finished image stands; any other end after an interruption is the
    // interruption's.
    if (outcome != comflash::UploadOutcome::Completed && InterruptStatus() != 0)
      return interrupted();
    switch (outcome) {
      case comflash::UploadOutcome::Completed:
        return finish(Outcome::kCompleted, kExitOk);
      case comflash::UploadOutcome::HandshakeRefused:
        r.error = "the device did not acknowledge the handshake";
        return finish(Outcome::kHandshakeRefused, kExitHandshake);
      case comflash::UploadOutcome::BlockFailed:
        r.block = reporter.CurrentBlock();
        r.error = "block " + std::to_string(r.block) + " failed all " + TriesPerBlockWord() +
                  " tries: " + reporter.FailedTries();
        out.Message(r.error);
        return finish(Outcome::kBlockFailed, kExitBlock);
    }
  } catch (const Interrupted&) {
    ClosePort(session, out);
    return interrupted();
  } catch (const std::exception& e) {
    // An interruption ends the reply wait with an error of its own: the
    // run's end is the interruption's.
    if (InterruptStatus() != 0) {
      ClosePort(session, out);
      return interrupted();
    }
    r.block = reporter.CurrentBlock();
    const auto* portError = dynamic_cast<const serial::EVaCommError*>(&e);
    if (portError && portError->Kind() == serial::TErrorKind::ekHungUp) {
      const int written = reporter.BlocksWritten();
      r.error = "the device on " + port + " went away " +
                (r.block ? "during block " + std::to_string(r.block)
                         : "before block " + std::to_string(comflash::kFirstBlock)) +
                " (" + e.what() + "): " +
                (written > 0 ? std::to_string(written) +
                                   " blocks were written, the device holds an "
                                   "incomplete image"
                             : std::string("nothing was written"));
    } else {
      r.error = "port " + port + " failed during the upload: " + e.what();
    }
    out.Message(r.error);
    ClosePort(session, out);
    return finish(Outcome::kPortError, kExitPort);
  }
  return finish(Outcome::kPortError, kExitPort);
}

}  // namespace cli
