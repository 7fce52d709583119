// The HTTP transport one account's requests go through: to the origin of the
// account's URL only, with credentials fetched just now from its password or
// token command, never kept beyond the transport.
#pragma once

#include "caldav/http.h"
#include "replica/replica.h"

#include <chrono>
#include <memory>
#include <optional>
#include <string>

namespace calbridge {

struct TransportBounds {
  std::chrono::milliseconds command{30'000};  // the password or token command's run
  std::chrono::milliseconds connect{10'000};
  std::chrono::milliseconds request{30'000};
  // Every request and every run of a command ends by then.
  std::optional<std::chrono::steady_clock::time_point> deadline;
};

// Nothing, with why in *error, when the account's URL holds user information
// or its command fails.
std::unique_ptr<caldav::CurlTransport> accountTransport(const RemoteAccount& account, const TransportBounds& bounds,
                                                        std::string* error);

}  // namespace calbridge
