// Asking the person at the machine a yes-or-no question.
#pragma once

#include <optional>
#include <string_view>

namespace calbridge {

enum class PromptMethod {
  none,  // nobody can be asked
  terminal,  // the process's controlling terminal
  dialog,  // a zenity dialog in the graphical session
};

// The way a question can reach someone now. A process whose standard input is
// not a terminal was started by a host, and its person is more likely looking
// at the screen: then a dialog comes first, when the display answers and zenity
// is installed. Otherwise the controlling terminal comes first. None when
// neither is there: a display that names a server nobody runs does not count.
PromptMethod availablePrompt();

// Asks and blocks for the answer: true for yes, false for no, nothing when the
// question went unanswered (end of input, a closed or failed dialog, Escape).
// A dialog gives up after `timeoutSeconds`.
std::optional<bool> askUser(PromptMethod method, std::string_view question, int timeoutSeconds);

// Tells the person that a question asked by `method` went unanswered in time
// and was taken as no. On a terminal this also ends the question's line, so
// that nothing written later runs on from it.
void noteUnanswered(PromptMethod method);

}  // namespace calbridge
