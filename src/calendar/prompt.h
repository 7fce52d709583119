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

// The way a question can reach someone now: the controlling terminal when the
// process has one, else a dialog when a graphical session is present and zenity
// is installed, else none.
PromptMethod availablePrompt();

// Asks and blocks for the answer: true for yes, false for no, nothing when the
// question went unanswered (end of input, a closed or failed dialog).
std::optional<bool> askUser(PromptMethod method, std::string_view question);

}  // namespace calbridge
