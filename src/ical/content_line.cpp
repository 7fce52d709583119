#include "ical/content_line.h"

#include <algorithm>
#include <cctype>
#include <iterator>

#include <utf8proc.h>

namespace calbridge {

namespace {

bool blank(char c) { return c == ' ' || c == '\t'; }

// One physical line at `at`: its content without line end, and where the next begins.
struct Physical {
  std::string_view content;
  std::size_t next;
};

Physical physicalAt(std::string_view text, std::size_t at) {
  const std::size_t newline = text.find('\n', at);
  const std::size_t end = newline == std::string_view::npos ? text.size() : newline;
  std::string_view content = text.substr(at, end - at);
  if (!content.empty() && content.back() == '\r') content.remove_suffix(1);
  return {content, newline == std::string_view::npos ? text.size() : newline + 1};
}

}  // namespace

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::toupper(static_cast<unsigned char>(x)) == std::toupper(static_cast<unsigned char>(y));
         });
}

std::string upperCase(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

void ContentLine::split() {
  nameEnd_ = std::min(text.find_first_of(";:"), text.size());
  valueAt_ = std::string::npos;
  bool quoted = false;
  for (std::size_t i = nameEnd_; i < text.size(); ++i) {
    if (text[i] == '"') {
      quoted = !quoted;
    } else if (text[i] == ':' && !quoted) {
      valueAt_ = i + 1;
      break;
    }
  }
}

bool ContentLine::wellFormed() const {
  std::string_view n = name();
  return !orphan && hasValue() && !n.empty() && std::all_of(n.begin(), n.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '-';
  });
}

bool ContentLine::is(std::string_view upperName) const { return equalsIgnoringCase(name(), upperName); }

std::vector<ContentParameter> ContentLine::parameters() const {
  std::vector<ContentParameter> out;
  const std::string_view s(text);
  const std::size_t end = hasValue() ? valueAt_ - 1 : s.size();
  std::size_t i = nameEnd_;
  while (i < end && s[i] == ';') {
    const std::size_t start = ++i;
    while (i < end && s[i] != '=' && s[i] != ';') ++i;
    ContentParameter parameter{upperCase(s.substr(start, i - start)), {}};
    if (i < end && s[i] == '=') {
      ++i;
      bool quoted = false;
      while (i < end && (quoted || s[i] != ';')) {
        if (s[i] == '"') quoted = !quoted;
        else parameter.value += s[i];
        ++i;
      }
    }
    out.push_back(std::move(parameter));
  }
  return out;
}

std::optional<std::string> ContentLine::parameter(std::string_view upperName) const {
  if (nameEnd_ >= text.size() || text[nameEnd_] != ';') return std::nullopt;
  for (ContentParameter& p : parameters()) {
    if (p.name == upperName) return std::move(p.value);
  }
  return std::nullopt;
}

std::size_t ContentLine::lineOf(std::size_t offset) const {
  auto after = std::upper_bound(folds.begin(), folds.end(), offset,
                                [](std::size_t at, const Fold& fold) { return at < fold.at; });
  return after == folds.begin() ? number : std::prev(after)->line;
}

bool ContentLineReader::next(ContentLine& line) {
  if (at_ >= text_.size()) return false;
  const std::size_t begin = at_;
  // The look for a continuation below found this line already.
  Physical first = at_ == peekedAt_ ? Physical{peeked_, peekedNext_} : physicalAt(text_, at_);
  at_ = first.next;
  line.number = ++number_;
  line.folds.clear();
  line.orphan = !first.content.empty() && blank(first.content.front());
  line.text.assign(first.content);
  // A line continues while the next physical line starts with a blank, also
  // across empty lines between (some writers leave them inside a fold, and
  // other readers unfold across them); an orphan or an empty line has nothing
  // to continue.
  if (!line.orphan && !line.text.empty()) {
    for (;;) {
      std::size_t next = at_;
      std::size_t skipped = 0;
      while (next < text_.size()) {
        Physical empty = physicalAt(text_, next);
        if (!empty.content.empty()) {
          peekedAt_ = next;
          peeked_ = empty.content;
          peekedNext_ = empty.next;
          break;
        }
        next = empty.next;
        ++skipped;
      }
      if (next >= text_.size() || !blank(text_[next])) break;
      Physical more = next == peekedAt_ ? Physical{peeked_, peekedNext_} : physicalAt(text_, next);
      at_ = more.next;
      number_ += skipped + 1;
      line.folds.push_back(ContentLine::Fold{line.text.size(), number_});
      line.text.append(more.content.substr(1));
    }
  }
  line.raw = text_.substr(begin, at_ - begin);
  line.split();
  return true;
}

std::vector<ContentLine> contentLines(std::string_view text) {
  std::vector<ContentLine> lines;
  ContentLineReader reader(text);
  for (ContentLine line; reader.next(line);) lines.push_back(line);
  return lines;
}

std::optional<std::size_t> invalidUtf8At(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    if (static_cast<unsigned char>(text[i]) < 0x80) {
      ++i;
      continue;
    }
    utf8proc_int32_t codepoint = 0;
    const utf8proc_ssize_t n = utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(text.data() + i),
                                                static_cast<utf8proc_ssize_t>(text.size() - i), &codepoint);
    if (n <= 0) return i;
    i += static_cast<std::size_t>(n);
  }
  return std::nullopt;
}

}  // namespace calbridge
