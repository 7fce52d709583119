// The question for full access to events, asked of the person at the machine,
// apart from where their answer is kept: a store offers the keeping, this asks.
#pragma once

#include "calendar/access/prompt.h"
#include "calendar/store.h"

#include <functional>
#include <memory>
#include <optional>

namespace calbridge {

// Where the person's answer is kept. A store offers one for its own data and
// owns what it keeps; the question only reads and writes through it. It is
// called from the thread that asks the person, possibly after the request (and
// the store handle) that started the question has gone, so an implementation
// holds everything it needs itself and may be called from any thread.
class AccessAnswers {
 public:
  virtual ~AccessAnswers() = default;
  // The answer kept now; notDetermined when none has been given.
  virtual AuthorizationStatus status() = 0;
  // Keeps the person's yes or no for good. False when it could not be kept.
  virtual bool record(bool granted) = 0;
};

// One question in flight for one store handle: what Store's
// requestFullAccessToEvents and endAccessRequest do, for any backend.
class AccessQuestion {
 public:
  AccessQuestion() = default;
  AccessQuestion(const AccessQuestion&) = delete;
  AccessQuestion& operator=(const AccessQuestion&) = delete;

  // Asks, on a thread of its own, only when `answers` holds no answer yet and
  // someone can be asked (otherwise `completion` gets false at once and nothing
  // is kept). A yes or a no the person gave is kept in `answers` and then passed
  // to `completion`, which gets false when it could not be kept; an unanswered
  // question (closed, Escape, end of input) keeps nothing and passes false.
  void ask(std::shared_ptr<AccessAnswers> answers, std::function<void(bool granted)> completion);
  // The wait for the answer ended without it: the answer when it was kept just
  // as the wait ended; otherwise the question is withdrawn (a later answer is
  // neither kept nor passed on) and the person is told silence meant no.
  std::optional<bool> end();

 private:
  struct Pending;
  std::shared_ptr<Pending> pending_;  // shared with the asking thread
};

}  // namespace calbridge
