// The content lines of an iCalendar text (RFC 5545 3.1), the one reader of
// lines for the file reader, the frame check and the editor of kept texts:
// each line is unfolded first (a line end followed by one blank continues the
// line), then split into its name, parameters and value, so that a value is
// read alike wherever it is read. Bytes are not decoded here; a caller that
// needs UTF-8 checks the unfolded text (a fold may fall inside a character).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace calbridge {

struct ContentParameter {
  std::string name;  // upper case
  std::string value;  // without its quotes
};

struct ContentLine {
  // The physical lines it came from, each with its line end: written back
  // as it was, an editor keeps every untouched byte.
  std::string_view raw;
  std::string text;  // unfolded, without line end
  std::size_t number = 0;  // its first physical line, counted from 1
  // A continuation with no line before it to continue (at the start, or after
  // an empty line): a line of its own, and never a content line.
  bool orphan = false;
  // Where in `text` each continuation began, and its physical line, to name
  // the line of a fault.
  struct Fold {
    std::size_t at, line;
  };
  std::vector<Fold> folds;

  // NAME *(";" parameter) ":" value, where a quoted parameter value may hold
  // ':' and ';'. The name is what comes before the first ';' or ':'; the value
  // starts at the first ':' outside quotes (none: no value).
  std::string_view name() const { return std::string_view(text).substr(0, nameEnd_); }
  bool hasValue() const { return valueAt_ != std::string::npos; }
  std::string_view value() const { return hasValue() ? std::string_view(text).substr(valueAt_) : std::string_view(); }
  // Everything before the value, its ':' included.
  std::string_view head() const { return std::string_view(text).substr(0, hasValue() ? valueAt_ : text.size()); }
  // True for a content line: a name of letters, digits and '-', and a value.
  bool wellFormed() const;
  // The name compared without regard to case ("DTSTART").
  bool is(std::string_view upperName) const;
  // The first parameter of that name (upper case), without its quotes.
  std::optional<std::string> parameter(std::string_view upperName) const;
  std::vector<ContentParameter> parameters() const;
  // The physical line (from 1) that holds the byte at `offset` of `text`.
  std::size_t lineOf(std::size_t offset) const;

  // Splits `text` (done by the reader; again after changing `text`).
  void split();

 private:
  std::size_t nameEnd_ = 0;
  std::size_t valueAt_ = std::string::npos;
};

// Reads one line after another without keeping them: a file of a million
// lines costs one line's memory.
class ContentLineReader {
 public:
  explicit ContentLineReader(std::string_view text) : text_(text) {}
  // The next line into `line` (its storage reused); false at the end. Empty
  // physical lines come as lines with empty text.
  bool next(ContentLine& line);

 private:
  std::string_view text_;
  std::size_t at_ = 0;
  std::size_t number_ = 0;
  // The physical line last looked at past the current one: each is found once.
  std::size_t peekedAt_ = std::string_view::npos;
  std::string_view peeked_;
  std::size_t peekedNext_ = 0;
};

// Every line of `text`.
std::vector<ContentLine> contentLines(std::string_view text);

// The byte offset of the first byte of `text` that is not part of a valid
// UTF-8 sequence, or nothing.
std::optional<std::size_t> invalidUtf8At(std::string_view text);

bool equalsIgnoringCase(std::string_view a, std::string_view b);
std::string upperCase(std::string_view s);

}  // namespace calbridge
