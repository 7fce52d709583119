// The environment that preloads tests/support/fault_shim.cpp into a program
// under test, for the protocol tests (whose build names the shim's file).
#pragma once

#include <map>
#include <optional>
#include <string>

namespace calbridge::testing {

inline std::map<std::string, std::optional<std::string>> withFaultShim(
    std::map<std::string, std::optional<std::string>> settings) {
  settings["LD_PRELOAD"] = CALBRIDGE_FAULT_SHIM;
  // The sanitizer runtime wants to be first among the libraries; the shim only forwards.
  settings["ASAN_OPTIONS"] = "verify_asan_link_order=0:detect_leaks=0";
  return settings;
}

}  // namespace calbridge::testing
