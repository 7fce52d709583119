#include "ical/written_summaries.h"

#include "ical/content_line.h"

namespace calbridge {

std::vector<std::optional<std::string>> writtenSummaries(std::string_view text) {
  std::vector<std::optional<std::string>> summaries;
  std::vector<std::string> open;
  ContentLineReader reader(text);
  for (ContentLine line; reader.next(line);) {
    if (!line.hasValue() || line.name().empty()) continue;
    std::string_view value = line.value();
    if (line.is("BEGIN")) {
      open.push_back(upperCase(value));
      if (open.back() == "VEVENT") summaries.emplace_back();
    } else if (line.is("END")) {
      if (!open.empty()) open.pop_back();
    } else if (line.is("SUMMARY") && !open.empty() && open.back() == "VEVENT" && !summaries.empty() &&
               !summaries.back()) {
      std::string unescaped;
      for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '\\' && i + 1 < value.size()) {
          char next = value[++i];
          unescaped += next == 'n' || next == 'N' ? '\n' : next;
        } else {
          unescaped += value[i];
        }
      }
      summaries.back() = std::move(unescaped);
    }
  }
  return summaries;
}

}  // namespace calbridge
