#pragma once
// Which servers an account's requests, and so its credentials, may go to.
// An origin is scheme://host:port, as url_origin (http.h) spells it. An
// account's credentials go to the origin it was added with and to the ones
// discovery moved to under may_move; every later request goes to the origin
// of the account's stored URL.

#include <string>

namespace calbridge::caldav {

// True when the URL carries user information (user:password@host), which
// would put a password in the store and in messages.
bool has_userinfo(const std::string& url);

// The registrable domain of a host (example.com for dav.example.com, by the
// public-suffix list); empty for an IP address, a public suffix itself, or
// when no list can be loaded.
std::string registrable_domain(const std::string& host);

// Whether discovery may go on from one URL to another: the same origin, or
// https to https within one registrable domain (a provider whose discovery
// host hands out per-user calendar hosts). Never from https to http, never
// from http to anywhere else.
bool may_move(const std::string& from_url, const std::string& to_url);

}  // namespace calbridge::caldav
