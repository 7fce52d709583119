#include "calendar/access/question.h"

#include "calendar/access/authorization.h"

#include <chrono>
#include <mutex>
#include <thread>
#include <utility>

namespace calbridge {

// The lock makes taking an answer (keeping it and passing it on) and
// withdrawing the question exclude each other: whichever comes first decides.
struct AccessQuestion::Pending {
  PromptMethod method = PromptMethod::none;
  std::shared_ptr<AccessAnswers> answers;
  std::mutex lock;
  bool withdrawn = false;
  std::optional<bool> taken;  // the answer kept
};

void AccessQuestion::ask(std::shared_ptr<AccessAnswers> answers, std::function<void(bool)> completion) {
  if (answers == nullptr || answers->status() != AuthorizationStatus::notDetermined) {
    completion(false);
    return;
  }
  PromptMethod method = availablePrompt();
  if (method == PromptMethod::none) {
    completion(false);
    return;
  }
  pending_ = std::make_shared<Pending>();
  pending_->method = method;
  pending_->answers = std::move(answers);
  std::thread([pending = pending_, completion = std::move(completion)] {
    // The dialog closes itself when the wait for its answer is over.
    constexpr auto kDialogTimeout = std::chrono::duration_cast<std::chrono::seconds>(kAccessRequestWait);
    auto answer = askUser(pending->method,
                          "calbridge asks for full access to your calendars: to list, add and remove events and "
                          "calendars. Your answer is remembered; to be asked again, run "
                          "\"calbridge-store access reset\". Allow it?",
                          static_cast<int>(kDialogTimeout.count()));
    std::lock_guard hold(pending->lock);
    if (pending->withdrawn) return;
    bool granted = false;
    if (answer && pending->answers->record(*answer)) {
      granted = *answer;
      pending->taken = granted;
    }
    completion(granted);
  }).detach();
}

std::optional<bool> AccessQuestion::end() {
  if (pending_ == nullptr) return std::nullopt;
  std::lock_guard hold(pending_->lock);
  if (pending_->taken) return pending_->taken;
  pending_->withdrawn = true;
  noteUnanswered(pending_->method);
  return std::nullopt;
}

}  // namespace calbridge
