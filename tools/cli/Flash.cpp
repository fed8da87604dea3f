#include "tools/cli/Flash.h"

#include <chrono>
#include <exception>

#include "app/core/UploadRun.h"
#include "serial/VaComm.h"
#include "tools/cli/Platform.h"

namespace cli {

void ProcessMessagesOrStop() {
  framework::App().ProcessMessages();
  if (InterruptStatus() != 0) throw Interrupted{};
}

PortApplication::PortApplication(Output& out) : out_(out) {
  framework::SetApplication(this);
}

PortApplication::~PortApplication() {
  framework::SetApplication(nullptr);
}

void PortApplication::ShowException(const std::string& message) {
  std::lock_guard lock(m_);
  pending_.push_back(message);
}

void PortApplication::Flush(const std::string& said) {
  std::vector<std::string> pending;
  {
    std::lock_guard lock(m_);
    pending.swap(pending_);
  }
  for (const auto& m : pending)
    if (said.find(m) == std::string::npos) out_.Message(m);
}

std::optional<OpenFailure> TryOpen(comflash::UploadSession& session, const std::string& port) {
  try {
    session.OpenPort(port);
    return std::nullopt;
  } catch (const std::exception& e) {
    OpenFailure f{"cannot open port " + port + ": " + e.what(), ""};
    if (const auto* portError = dynamic_cast<const serial::EVaCommError*>(&e)) {
      if (portError->Kind() == serial::TErrorKind::ekNotFound) f.hint = PortNotFoundHint(port);
      if (portError->Kind() == serial::TErrorKind::ekNoPermission)
        f.hint =
            "you may not use this device; join its group (usually 'dialout': sudo usermod "
            "-aG dialout $USER, then log in again)";
      if (portError->Kind() == serial::TErrorKind::ekBusy)
        f.hint = "another program holds " + port + "; end it and run again";
    }
    return f;
  }
}

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

void ClosePort(comflash::UploadSession& session, Output& out) {
  try {
    session.Port().Close();
  } catch (const std::exception& e) {
    out.Message("closing the port: " + std::string(e.what()));
  }
}

PortResult UploadOnOpenPort(comflash::UploadSession& session, const LoadedImage& image,
                            Reporter& reporter, Output& out, const std::string& port,
                            bool resetFirst) {
  const auto t0 = std::chrono::steady_clock::now();
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

  try {
    if (resetFirst) ResetAndPurge(session, out);
    const auto outcome = session.Run(*image.bytes);
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
    return interrupted();
  } catch (const std::exception& e) {
    // An interruption ends the reply wait with an error of its own: the
    // run's end is the interruption's.
    if (InterruptStatus() != 0) return interrupted();
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
    return finish(Outcome::kPortError, kExitPort);
  }
  return finish(Outcome::kPortError, kExitPort);
}

PortResult FlashPort(const std::string& port, const LoadedImage& image, Output& out,
                     ProgressStyle style, serial::SerialApi& api) {
  const auto t0 = std::chrono::steady_clock::now();
  Reporter reporter(out, style, port);
  PortApplication app(out);
  comflash::UploadSession session(reporter, ProcessMessagesOrStop, api);
  PortResult r;
  if (InterruptStatus() == 0) {
    if (auto failure = TryOpen(session, port)) {
      out.Message(failure->error);
      if (!failure->hint.empty()) out.Message(failure->hint);
      r.port = port;
      r.crc32 = image.crc32;
      r.error = failure->error;
      r.outcome = Outcome::kPortError;
      r.exitStatus = kExitPort;
      app.Flush(r.error);
      r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
      return r;
    }
  }
  r = UploadOnOpenPort(session, image, reporter, out, port, true);
  ClosePort(session, out);
  app.Flush(r.error);
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  return r;
}

}  // namespace cli
