#include "sync/account_transport.h"

#include "caldav/origins.h"
#include "caldav/password_command.h"

#include <algorithm>

namespace calbridge {

namespace {

using Clock = std::chrono::steady_clock;

std::chrono::milliseconds commandTime(const TransportBounds& bounds) {
  if (!bounds.deadline) return bounds.command;
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*bounds.deadline - Clock::now());
  return std::max(std::chrono::milliseconds::zero(), std::min(bounds.command, left));
}

}  // namespace

std::unique_ptr<caldav::CurlTransport> accountTransport(const RemoteAccount& account, const TransportBounds& bounds,
                                                        std::string* error) {
  // Stores from before such URLs were refused may hold one; it is neither
  // used nor shown.
  if (caldav::has_userinfo(account.url)) {
    *error = "the account's URL holds a user name or password; remove the account and add it again with --user "
             "and --password-command";
    return nullptr;
  }
  caldav::HttpSettings settings;
  settings.origins = {caldav::url_origin(account.url)};
  if (account.user) settings.user = *account.user;
  if (account.caFile) settings.ca_file = *account.caFile;
  settings.connect_timeout = bounds.connect;
  settings.request_timeout = bounds.request;
  settings.deadline = bounds.deadline;
  if (account.passwordCommand) {
    caldav::PasswordResult password = caldav::run_password_command(*account.passwordCommand, commandTime(bounds));
    if (!password.ok) {
      *error = "the password command failed: " + password.error;
      return nullptr;
    }
    settings.password = std::move(password.password);
  } else if (account.tokenCommand) {
    caldav::PasswordResult token = caldav::run_token_command(*account.tokenCommand, commandTime(bounds));
    if (!token.ok) {
      *error = "the token command failed: " + token.error;
      return nullptr;
    }
    settings.bearer_token = std::move(token.password);
    // Asked again after a 401: the token may have expired since.
    settings.renew_token = [command = *account.tokenCommand, bounds]() -> std::optional<std::string> {
      caldav::PasswordResult fresh = caldav::run_token_command(command, commandTime(bounds));
      if (!fresh.ok) return std::nullopt;
      return std::move(fresh.password);
    };
  }
  return std::make_unique<caldav::CurlTransport>(std::move(settings));
}

}  // namespace calbridge
