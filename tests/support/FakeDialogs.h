// Dialogs for the window's tests: records every box and answers the file
// dialog from a script.
#pragma once

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "framework/forms/Dialogs.h"

namespace guitest {

class FakeDialogs : public forms::Dialogs {
 public:
  void ShowMessage(const std::string& text) override {
    messages.push_back(text);
    if (onMessage) onMessage(text);
  }
  void ShowError(const std::string& text) override { errors.push_back(text); }
  std::optional<std::string> OpenFile(const forms::OpenDialogOptions& options) override {
    openRequests.push_back(options);
    if (openAnswers.empty()) {
      ADD_FAILURE() << "file dialog shown without a scripted answer";
      return std::nullopt;
    }
    auto answer = openAnswers.front();
    openAnswers.pop_front();
    return answer;
  }

  std::vector<std::string> messages;
  std::vector<std::string> errors;
  std::vector<forms::OpenDialogOptions> openRequests;
  // Answers of the file dialog in order; nothing = cancelled.
  std::deque<std::optional<std::string>> openAnswers;
  // Runs while a message box would be up.
  std::function<void(const std::string&)> onMessage;
};

}  // namespace guitest
