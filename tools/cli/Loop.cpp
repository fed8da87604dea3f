#include "tools/cli/Loop.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <exception>
#include <nlohmann/json.hpp>
#include <optional>
#include <thread>
#include <vector>

#include "app/core/UploadRun.h"
#include "app/core/UploadSession.h"
#include "tools/cli/Flash.h"
#include "tools/cli/Platform.h"
#include "tools/cli/Result.h"

namespace cli {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// The session's lines and block attempts go to the board being written; the
// greetings in between (a line of numbers and a verdict every few seconds
// while the fixture is empty) go nowhere: the loop's state says it.
class BoardObserver : public comflash::UploadObserver {
 public:
  void Attach(Reporter* reporter) { reporter_ = reporter; }
  void RunStarted() override {
    if (reporter_) reporter_->RunStarted();
  }
  void RunEnded() override {
    if (reporter_) reporter_->RunEnded();
  }
  void LogLine(const std::string& line) override {
    if (reporter_) reporter_->LogLine(line);
  }
  void BlockAttempted(const comflash::BlockAttempt& attempt) override {
    if (reporter_) reporter_->BlockAttempted(attempt);
  }

 private:
  Reporter* reporter_ = nullptr;
};

// Sleeps for d, or until the program is interrupted: false then.
bool Pause(Clock::duration d) {
  const auto end = Clock::now() + d;
  while (InterruptStatus() == 0) {
    const auto now = Clock::now();
    if (now >= end) return true;
    // The interruption is a flag a signal handler sets: looked at 50 times a
    // second, which costs nothing and answers Ctrl-C at once to the eye.
    std::this_thread::sleep_for(std::min<Clock::duration>(end - now, 20ms));
  }
  return false;
}

enum class Answer { kAcknowledged, kSilent, kOther };

// A greeting as the upload opens with one: the drain, the purge of both
// directions and the handshake. Raises the port's errors.
Answer Greet(comflash::UploadSession& session) {
  std::uint8_t scratch = 0;
  for (int i = 0; i < comflash::kDrainCount; ++i) session.Port().ReadByte(scratch);
  session.Port().PurgeAll();
  if (session.Link().DeviceReady()) return Answer::kAcknowledged;
  return session.Link().LastReplyBytes() == 0 ? Answer::kSilent : Answer::kOther;
}

std::string Seconds(double s) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.2f", s);
  return buf;
}

class ProductionLoop {
 public:
  ProductionLoop(const std::string& port, const LoadedImage& image, Output& out,
                 ProgressStyle style, serial::SerialApi& api, LoopPacing pacing)
      : port_(port),
        image_(image),
        out_(out),
        style_(style),
        pacing_(pacing),
        app_(out),
        session_(observer_, ProcessMessagesOrStop, api) {}

  int Run() {
    while (!Stopped()) {
      if (!session_.Port().IsOpen() && !OpenWhenThere()) break;
      if (!WaitForBoard()) continue;  // the port failed, or an interruption
      WriteBoard();
      if (Stopped() || !session_.Port().IsOpen()) continue;
      WaitForRemoval();
    }
    ClearState();
    ClosePort(session_, out_);
    app_.Flush("");
    SaySummary();
    return worst_;
  }

 private:
  static bool Stopped() { return InterruptStatus() != 0; }

  std::string Counts() const {
    return std::to_string(written_) + " written, " + std::to_string(failed_) + " failed";
  }

  // The loop's state: redrawn in place on a terminal, a line at each change
  // otherwise, nothing with --quiet.
  void ShowState(const std::string& state) {
    const std::string text = state + " (" + Counts() + ")";
    if (text == shown_) return;
    shown_ = text;
    const std::string prefix = out_.Label().empty() ? "" : out_.Label() + ": ";
    if (style_ == ProgressStyle::kBar) {
      out_.Progress("\r" + text + "\033[K");
      state_open_ = true;
    } else if (style_ == ProgressStyle::kLines) {
      out_.Progress("state: " + prefix + text + "\n");
    }
  }
  void ClearState() {
    if (state_open_) out_.Progress("\r\033[K");
    state_open_ = false;
    shown_.clear();
  }

  // The port went away or failed: said once per cause, closed, to be opened
  // again.
  void PortFailed(const std::exception& e) {
    ClearState();
    out_.Message("port " + port_ + " failed: " + e.what() + "; opening it again when it is back");
    ClosePort(session_, out_);
    app_.Flush(e.what());
  }

  bool OpenWhenThere() {
    std::string said;
    while (!Stopped()) {
      if (auto failure = TryOpen(session_, port_)) {
        if (failure->error != said) {
          ClearState();
          out_.Message(failure->error + "; trying again every " +
                       Seconds(pacing_.reopen.count() / 1000.0) + " s");
          if (!failure->hint.empty()) out_.Message(failure->hint);
          said = failure->error;
        }
        ShowState("waiting for port " + port_);
        app_.Flush(said);
        Pause(pacing_.reopen);
        continue;
      }
      if (!said.empty()) {
        ClearState();
        out_.Message("port " + port_ + " is open");
      }
      try {
        ResetAndPurge(session_, out_);
      } catch (const std::exception& e) {
        PortFailed(e);
        Pause(pacing_.reopen);
        continue;
      }
      return true;
    }
    return false;
  }

  // Greets the empty fixture until a board answers: true then.
  bool WaitForBoard() {
    while (!Stopped()) {
      ShowState("waiting for a board");
      const auto started = Clock::now();
      Answer answer{};
      try {
        answer = Greet(session_);
      } catch (const std::exception& e) {
        if (!Stopped()) PortFailed(e);
        return false;
      }
      if (Stopped()) return false;
      if (answer == Answer::kAcknowledged) return true;
      Pause(pacing_.greet - (Clock::now() - started));
    }
    return false;
  }

  void WriteBoard() {
    ++boards_;
    ClearState();
    if (style_ == ProgressStyle::kLines)
      out_.Progress("state: " + (out_.Label().empty() ? "" : out_.Label() + ": ") +
                    "writing board " + std::to_string(boards_) + "\n");
    Reporter reporter(out_, style_, port_);
    reporter.SetBarLabel("board " + std::to_string(boards_) + " (" + Counts() + ") ");
    observer_.Attach(&reporter);
    PortResult r = UploadOnOpenPort(session_, image_, reporter, out_, port_, false);
    observer_.Attach(nullptr);
    app_.Flush(r.error);
    r.board = boards_;
    out_.Message(BoardLine(r));
    if (out_.JsonMode()) out_.Json(JsonObject(r));
    worst_ = std::max(worst_, r.exitStatus);
    switch (r.outcome) {
      case Outcome::kCompleted:
        ++written_;
        break;
      case Outcome::kInterrupted:
        incomplete_ = r;
        break;
      default:
        ++failed_;
        failures_.push_back("board " + std::to_string(boards_) + " (" +
                            (r.error.empty() ? std::string(OutcomeName(r.outcome)) : r.error) +
                            ")");
        break;
    }
    // A port that failed mid-board is opened again from the start.
    if (r.outcome == Outcome::kPortError) ClosePort(session_, out_);
  }

  // Greets the board just done until it stops answering.
  void WaitForRemoval() {
    ShowState("board " + std::to_string(boards_) + " done: remove the board");
    int wrong = 0;
    while (Pause(pacing_.probe)) {
      Answer answer{};
      try {
        answer = Greet(session_);
      } catch (const std::exception& e) {
        // The adapter went with the board.
        if (!Stopped()) PortFailed(e);
        return;
      }
      if (Stopped() || answer == Answer::kSilent) return;
      wrong = answer == Answer::kOther ? wrong + 1 : 0;
      if (wrong >= pacing_.wrongAnswers) return;
    }
  }

  void SaySummary() {
    const double seconds = std::chrono::duration<double>(Clock::now() - start_).count();
    std::string text = "session: " + std::to_string(boards_) +
                       (boards_ == 1 ? " board, " : " boards, ") + Counts();
    if (incomplete_)
      text += ", board " + std::to_string(*incomplete_->board) + " incomplete (" +
              incomplete_->error + ")";
    text += ", " + Seconds(seconds) + " s, port " + port_;
    if (!failures_.empty()) {
      text += "; failed:";
      for (std::size_t i = 0; i < failures_.size(); ++i) text += (i ? ", " : " ") + failures_[i];
    }
    out_.Message(text);
    if (!out_.JsonMode()) return;
    using json = nlohmann::ordered_json;
    json o;
    o["port"] = port_;
    o["session"] = true;
    o["boards"] = boards_;
    o["written"] = written_;
    o["failed"] = failed_;
    o["incomplete_board"] = incomplete_ ? json(*incomplete_->board) : json();
    o["seconds"] = std::round(seconds * 100) / 100;
    o["exit_status"] = worst_;
    out_.Json(o.dump(-1, ' ', false, json::error_handler_t::replace));
  }

  const std::string port_;
  const LoadedImage& image_;
  Output& out_;
  const ProgressStyle style_;
  const LoopPacing pacing_;
  const Clock::time_point start_ = Clock::now();
  BoardObserver observer_;
  PortApplication app_;
  comflash::UploadSession session_;

  int boards_ = 0;
  int written_ = 0;
  int failed_ = 0;
  int worst_ = kExitOk;
  std::optional<PortResult> incomplete_;
  std::vector<std::string> failures_;
  std::string shown_;
  bool state_open_ = false;
};

}  // namespace

int FlashLoop(const std::string& port, const LoadedImage& image, Output& out, ProgressStyle style,
              serial::SerialApi& api, LoopPacing pacing) {
  return ProductionLoop(port, image, out, style, api, pacing).Run();
}

}  // namespace cli
