#include "calendar/access/authorization.h"

#include <atomic>
#include <memory>
#include <semaphore>

namespace calbridge {

bool hasAccess(Store& store) {
  return store.authorizationStatus() == AuthorizationStatus::fullAccess;
}

namespace {

// Shared by the waiting thread and the completion, which may run after the
// wait has given up: whichever finishes last frees it. The state moves once,
// from waiting to an answer or to abandoned, so that the waiter and a late
// completion can never both decide.
struct PendingAnswer {
  enum State : int { waiting, granted, refused, abandoned };
  std::atomic<int> state{waiting};
  std::chrono::steady_clock::time_point deadline;
  std::binary_semaphore answered{0};
};

}  // namespace

bool requestAccess(Store& store, std::chrono::milliseconds wait) {
  if (hasAccess(store)) return true;
  auto pending = std::make_shared<PendingAnswer>();
  pending->deadline = std::chrono::steady_clock::now() + wait;
  store.requestFullAccessToEvents([pending](bool granted) {
    // Judged by when it arrives, not by whether the waiter has looked yet: a
    // waiter the scheduler held up past the deadline must still read silence.
    if (std::chrono::steady_clock::now() >= pending->deadline) return;
    int expected = PendingAnswer::waiting;
    if (pending->state.compare_exchange_strong(expected, granted ? PendingAnswer::granted : PendingAnswer::refused)) {
      pending->answered.release();
    }
  });
  (void)pending->answered.try_acquire_until(pending->deadline);
  int expected = PendingAnswer::waiting;
  if (pending->state.compare_exchange_strong(expected, PendingAnswer::abandoned)) {
    return store.endAccessRequest().value_or(false);
  }
  return expected == PendingAnswer::granted;
}

}  // namespace calbridge
