// Calendar permission: a silent test and a request that may ask the user.
#pragma once

#include "calendar/store.h"

#include <chrono>

namespace calbridge {

// How long a request waits for the user's answer.
inline constexpr std::chrono::milliseconds kAccessRequestWait = std::chrono::seconds(120);

// True exactly when the store grants full access to events. Never asks.
bool hasAccess(Store& store);

// True when access is, or becomes, fully granted. Asks the store (which may ask
// the user) only when access is not already granted, and waits at most `wait`
// for the answer: a refusal, an error and silence all read as false, and an
// answer that arrives after the wait is silence.
bool requestAccess(Store& store, std::chrono::milliseconds wait = kAccessRequestWait);

}  // namespace calbridge
