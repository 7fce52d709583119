#include "replica/change_batch.h"

#include "ical/object_edit.h"

#include <algorithm>

namespace calbridge {

void ChangeBatch::stage(StagedChange next) {
  auto held = std::find_if(changes_.begin(), changes_.end(),
                           [&](const StagedChange& c) { return c.object == next.object; });
  if (held == changes_.end()) {
    changes_.push_back(std::move(next));
    return;
  }
  ObjectChange& change = held->change;
  using Kind = ObjectChange::Kind;
  if (next.change.kind == Kind::remove) {
    if (change.kind == Kind::create) {
      changes_.erase(held);
      return;
    }
    change.kind = Kind::remove;
    change.text.clear();
    change.edits.clear();
    return;
  }
  if (change.kind == Kind::remove) return;
  change.text = std::move(next.change.text);
  if (change.kind == Kind::modify) {
    change.edits.insert(change.edits.end(), next.change.edits.begin(), next.change.edits.end());
  }
}

const StagedChange* ChangeBatch::find(std::int64_t object) const {
  for (const StagedChange& c : changes_) {
    if (c.object == object) return &c;
  }
  return nullptr;
}

std::optional<std::string> ChangeBatch::editedText(std::int64_t object, std::string_view kept, const ObjectEdit& edit,
                                                   ZoneCache& zones) const {
  const StagedChange* held = find(object);
  const bool staged = held != nullptr && held->change.kind != ObjectChange::Kind::remove;
  return applyEdits(staged ? std::string_view(held->change.text) : kept, std::span(&edit, 1), zones);
}

}  // namespace calbridge
