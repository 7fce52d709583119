#include "calendar/authorization.h"

#include <atomic>
#include <memory>
#include <semaphore>

namespace calbridge {

bool hasAccess(Store& store) {
  return store.authorizationStatus() == AuthorizationStatus::fullAccess;
}

namespace {

// Shared by the waiting thread and the completion, which may run after the
// wait has given up: whichever finishes last frees it.
struct PendingAnswer {
  std::atomic<bool> granted{false};
  std::counting_semaphore<> answered{0};
};

}  // namespace

bool requestAccess(Store& store, std::chrono::milliseconds wait) {
  if (hasAccess(store)) return true;
  auto pending = std::make_shared<PendingAnswer>();
  store.requestFullAccessToEvents([pending](bool granted) {
    pending->granted.store(granted);
    pending->answered.release();
  });
  // Whether the wait ended by the answer or by the clock is not examined: the
  // flag still holds false when no answer came.
  (void)pending->answered.try_acquire_for(wait);
  return pending->granted.load();
}

}  // namespace calbridge
