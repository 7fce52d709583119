#include "replica/publishing.h"

#include <algorithm>

namespace calbridge {

Status publishAll(ObjectPublisher& publisher, const ChangeBatch& batch, std::span<const RemoteAccount> accounts,
                  std::vector<PublishedObject>* answers) {
  answers->clear();
  for (const StagedChange& staged : batch.changes()) {
    auto account = std::find_if(accounts.begin(), accounts.end(),
                                [&](const RemoteAccount& a) { return a.sourceIdentifier == staged.account; });
    if (account == accounts.end()) {
      return Status::notFound("no account " + staged.account + " for " + staged.change.url);
    }
    PublishedObject answer;
    Status published = publisher.publish(*account, staged.change, &answer);
    if (!published) return published;
    answers->push_back(std::move(answer));
  }
  return Status::ok();
}

// The server's versions of an object follow one line, and every change a
// store publishes names the version it was made on (If-Match). So when the
// replica's ETag is neither the one the change began from nor the one the
// server made it on after a conflict, the replica has taken in this change or
// a later version since (a sync, or another host's change made on top of
// this one), and keeping the answer would take it back in time.
Settlement settle(const ObjectChange& change, const PublishedObject& answer, const std::optional<std::string>& now) {
  using Kind = ObjectChange::Kind;
  const bool madeOnThat = now && ((change.kind != Kind::create && *now == change.etag) ||
                                  (answer.rebased && *now == answer.rebased->etag));
  switch (change.kind) {
    case Kind::create:
      return now ? Settlement::leave : Settlement::keepStaged;
    case Kind::remove:
      return madeOnThat ? Settlement::remove : Settlement::leave;
    case Kind::modify:
      if (!madeOnThat) return Settlement::leave;
      return answer.rebased ? Settlement::keepAnswer : Settlement::keepStaged;
  }
  return Settlement::leave;
}

}  // namespace calbridge
