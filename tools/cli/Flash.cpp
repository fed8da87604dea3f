#include "tools/cli/Flash.h"

#include <chrono>
#include <exception>

#include "app/core/FirmwareImage.h"
#include "app/core/UploadSession.h"
#include "framework/Application.h"
#include "serial/VaComm.h"
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
    r.error = r.block ? "interrupted at block " + std::to_string(r.block) +
                            " of 3..125: the device holds an incomplete image"
                      : "interrupted before block 3 of 3..125: nothing was written to the device";
    out.Message(r.error);
    return finish(Outcome::kInterrupted, InterruptStatus());
  };

  if (InterruptStatus() != 0) return interrupted();
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
    const auto outcome = session.Run(comflash::FirmwareImage);
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
        r.error = "block " + std::to_string(r.block) + " was refused six times";
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
    r.error = "port " + port + " failed during the upload: " + e.what();
    out.Message(r.error);
    ClosePort(session, out);
    r.block = reporter.CurrentBlock();
    return finish(Outcome::kPortError, kExitPort);
  }
  return finish(Outcome::kPortError, kExitPort);
}

}  // namespace cli
