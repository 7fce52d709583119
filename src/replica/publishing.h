// A batch's changes sent to their servers, all of them or none kept, and what
// a store then does with each answer. Sending happens outside the store's
// write lock, so local work never waits on a server; the store then takes the
// lock again and keeps each answer only where its replica is still where the
// change began (else the replica is brought in step from the answer).
#pragma once

#include "base/status.h"
#include "replica/change_batch.h"
#include "replica/publisher.h"

#include <optional>
#include <span>
#include <string>
#include <vector>

namespace calbridge {

// Sends the batch's changes in order, each to its account's server, and
// answers one PublishedObject per change. Stops at the first change a server
// does not take and returns why: the batch is then kept nowhere (what a server
// took before it is there, and the next sync brings it in).
Status publishAll(ObjectPublisher& publisher, const ChangeBatch& batch, std::span<const RemoteAccount> accounts,
                  std::vector<PublishedObject>* answers);

// What a store does with a published change, given the ETag its replica's
// object has once the store holds its write lock again (none: not there).
enum class Settlement {
  keepStaged,  // the replica is where the change began: keep the rows it staged, with the server's ETag and text
  keepAnswer,  // the server's text is not what was staged (a conflict made good): keep the object read from it
  remove,  // the object is gone from the server: it goes from the replica too
  leave,  // the replica already has this change or a later version: nothing to do
};
Settlement settle(const ObjectChange& change, const PublishedObject& answer, const std::optional<std::string>& now);

}  // namespace calbridge
