// The changes one store transaction makes to replica objects, one change per
// object however many edits made it: built as the transaction goes, sent to
// the servers when it commits, and kept only once every one is there
// (LevelDB's WriteBatch is the model: built once as a value, applied once).
#pragma once

#include "replica/publisher.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace calbridge {

class ZoneCache;

struct StagedChange {
  std::int64_t object = 0;  // the store's key for the object
  std::int64_t calendar = 0;  // the store's key for its calendar
  std::string account;  // the source identifier of the account it belongs to
  ObjectChange change;
};

class ChangeBatch {
 public:
  // Adds `next` for its object, folded into what the batch holds for it, so
  // that the server gets one request per object:
  // - a remove of an object the batch creates drops it: it never reached the server;
  // - a remove of one it modifies leaves the remove alone;
  // - a create or modify of one it creates or modifies takes the new text
  //   (a new series goes with its skips); a modify's edits add up, so that
  //   after a conflict all of them are made again on the server's text;
  // - nothing changes an object the batch removes.
  void stage(StagedChange next);
  // What the batch holds for an object; null when nothing.
  const StagedChange* find(std::int64_t object) const;
  // The object's text with `edit` applied: to the text the batch gives it when
  // it changes the object already, else to `kept`. Nothing when the edit does
  // not apply (see ical/object_edit.h).
  std::optional<std::string> editedText(std::int64_t object, std::string_view kept, const ObjectEdit& edit,
                                        ZoneCache& zones) const;

  bool empty() const { return changes_.empty(); }
  const std::vector<StagedChange>& changes() const { return changes_; }
  void clear() { changes_.clear(); }

 private:
  std::vector<StagedChange> changes_;
};

}  // namespace calbridge
