// The application seam on Qt and the real Qt dialogs of the Qt back end.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QEventLoop>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <thread>

#include "framework/MainThreadQueue.h"
#include "framework/forms/Controls.h"
#include "framework/forms/qt/QtApplication.h"
#include "framework/forms/qt/QtDialogs.h"
#include "tests/support/FakeDialogs.h"

namespace {

using forms::qt::QtApplication;

// A handler as the controls connect theirs: what it throws goes to the display.
template <typename Handler>
auto Guarded(const void* sender, Handler handler) {
  return [sender, handler] { forms::RunGuarded(sender, handler); };
}

class QtSeam : public ::testing::Test {
 protected:
  guitest::FakeDialogs dialogs;
  QtApplication app{dialogs};
};

TEST_F(QtSeam, IsTheCurrentApplicationWhileItLives) {
  EXPECT_EQ(&framework::App(), &app);
  {
    guitest::FakeDialogs other;
    QtApplication second(other);
    EXPECT_EQ(&framework::App(), &second);
  }
  EXPECT_NE(&framework::App(), &app) << "the last one installed was removed";
  framework::SetApplication(&app);
}

TEST_F(QtSeam, AnIdleEventLoopServesACallFromAnotherThread) {
  QEventLoop loop;
  QTimer failsafe;
  failsafe.setSingleShot(true);
  QObject::connect(&failsafe, &QTimer::timeout, &loop, &QEventLoop::quit);
  failsafe.start(3000);

  std::atomic<bool> ranOnMainThread{false};
  std::thread worker([&] {
    framework::RunOnMainThread([&] {
      ranOnMainThread = framework::IsMainThread();
      loop.quit();
    });
  });
  loop.exec();  // nothing but the wake-up can end this before the failsafe
  const bool timedOut = !failsafe.isActive();
  if (timedOut) framework::CheckSynchronize(0);  // release the worker anyway
  worker.join();
  EXPECT_FALSE(timedOut);
  EXPECT_TRUE(ranOnMainThread);
}

TEST_F(QtSeam, ProcessMessagesRunsPendingEventsAndSynchronisedCalls) {
  bool eventRan = false;
  QTimer::singleShot(0, [&] { eventRan = true; });
  app.ProcessMessages();
  EXPECT_TRUE(eventRan);

  std::atomic<bool> callRan{false};
  std::thread worker([&] { framework::RunOnMainThread([&] { callRan = true; }); });
  // Waits (bounded) for the call to be queued, without running it; a wait may
  // also end early for a wake-up left from elsewhere.
  bool queued = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (!queued && std::chrono::steady_clock::now() < deadline)
    queued = framework::WaitForQueuedCall(100);
  app.ProcessMessages();
  const bool ranByProcessMessages = callRan;
  if (!ranByProcessMessages) framework::CheckSynchronize(2000);  // release the worker anyway
  worker.join();
  EXPECT_TRUE(queued);
  EXPECT_TRUE(ranByProcessMessages);
}

TEST_F(QtSeam, AnErrorInAHandlerGoesToTheErrorBoxAndTheLoopGoesOn) {
  QEventLoop loop;
  bool after = false;
  QTimer::singleShot(0, Guarded(nullptr, [] { throw std::runtime_error("boom"); }));
  QTimer::singleShot(0, Guarded(nullptr, [] { throw 42; }));
  QTimer::singleShot(10, [&] {
    after = true;
    loop.quit();
  });
  loop.exec();
  EXPECT_TRUE(after);
  EXPECT_EQ(dialogs.errors, (std::vector<std::string>{"boom", "Unknown exception"}));
}

// Runs act on the first visible top-level widget of type T once it is up.
// Should none show up, every window is closed so the test cannot hang.
template <typename T>
class WhenShown {
 public:
  explicit WhenShown(std::function<void(T*)> act) : act_(std::move(act)) {
    timer_.setInterval(10);
    QObject::connect(&timer_, &QTimer::timeout, [this] { Poll(); });
    timer_.start();
  }
  bool Seen() const { return seen_; }

 private:
  void Poll() {
    for (QWidget* w : QApplication::topLevelWidgets()) {
      if (auto* t = qobject_cast<T*>(w); t && t->isVisible()) {
        timer_.stop();
        seen_ = true;
        act_(t);
        return;
      }
    }
    if (++polls_ > 500) {
      timer_.stop();
      QApplication::closeAllWindows();
    }
  }

  std::function<void(T*)> act_;
  QTimer timer_;
  bool seen_ = false;
  int polls_ = 0;
};

TEST(QtDialogs, TheMessageBoxHasTheTextNoIconAndOneOkButton) {
  forms::qt::QtDialogs dialogs;
  const std::string text = "Порт не существует или занят другим устройством:<b>COM7</b>";
  WhenShown<QMessageBox> check([&](QMessageBox* box) {
    EXPECT_EQ(box->text().toStdString(), text);
    EXPECT_EQ(box->textFormat(), Qt::PlainText);
    EXPECT_EQ(box->icon(), QMessageBox::NoIcon);
    EXPECT_EQ(box->buttons().size(), 1);
    EXPECT_EQ(box->standardButtons(), QMessageBox::Ok);
    EXPECT_TRUE(box->isModal());
    box->button(QMessageBox::Ok)->click();
  });
  dialogs.ShowMessage(text);
  EXPECT_TRUE(check.Seen());
}

TEST(QtDialogs, TheErrorBoxShowsTheTextAsAnError) {
  forms::qt::QtDialogs dialogs;
  WhenShown<QMessageBox> check([&](QMessageBox* box) {
    EXPECT_EQ(box->text(), "Error calling comm function (31)");
    EXPECT_EQ(box->icon(), QMessageBox::Critical);
    EXPECT_EQ(box->standardButtons(), QMessageBox::Ok);
    box->button(QMessageBox::Ok)->click();
  });
  dialogs.ShowError("Error calling comm function (31)");
  EXPECT_TRUE(check.Seen());
}

class QtFileDialog : public ::testing::Test {
 protected:
  QtFileDialog() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "comflash-dialog-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    dir = pattern;
    options.DefaultSuffix = "hex";
    options.FileName = dir + "/_code.hex";
  }
  ~QtFileDialog() override {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
  std::string dir;
  forms::OpenDialogOptions options;
  forms::qt::QtDialogs dialogs;
};

TEST_F(QtFileDialog, OpensWithTheOptionsAndTakesANameThatDoesNotExistYet) {
  WhenShown<QFileDialog> choose([&](QFileDialog* d) {
    EXPECT_EQ(d->acceptMode(), QFileDialog::AcceptOpen);
    EXPECT_EQ(d->fileMode(), QFileDialog::AnyFile);
    EXPECT_EQ(d->defaultSuffix(), "hex");
    EXPECT_EQ(d->directory().absolutePath().toStdString(),
              std::filesystem::canonical(dir).string());
    EXPECT_EQ(d->nameFilters(), QStringList{"All Files (*)"});
    const QStringList proposed = d->selectedFiles();
    EXPECT_EQ(proposed.size(), 1);
    EXPECT_TRUE(!proposed.isEmpty() && proposed.first().endsWith("/_code.hex"))
        << proposed.join(' ').toStdString();
    // Typed, as the operator would: selectFile leaves a focused name field alone.
    auto* name = d->findChild<QLineEdit*>("fileNameEdit");
    if (!name) {
      ADD_FAILURE() << "no file name field";
      d->reject();
      return;
    }
    name->setText("fresh");
    static_cast<QDialog*>(d)->accept();  // as the Open button does
  });
  const auto chosen = dialogs.OpenFile(options);
  ASSERT_TRUE(choose.Seen());
  ASSERT_TRUE(chosen.has_value());
  EXPECT_EQ(std::filesystem::path(*chosen).filename(), "fresh.hex") << *chosen;
}

TEST_F(QtFileDialog, CancellingGivesNothing) {
  WhenShown<QFileDialog> cancel([](QFileDialog* d) { d->reject(); });
  EXPECT_FALSE(dialogs.OpenFile(options).has_value());
  EXPECT_TRUE(cancel.Seen());
}

}  // namespace
