// Calendars made and removed: a new source in a local or remote-creating
// account, a new collection on a WebDAV account's server, and their removal
// as the account allows.
#include "calendar/color.h"
#include "evolution/calendar_entry.h"
#include "evolution/collection_server.h"
#include "evolution/evolution_store.h"
#include "evolution/glib_support.h"

#include <libecal/libecal.h>
#include <libedataserver/libedataserver.h>

namespace calbridge {

bool EvolutionStore::saveCalendar(Calendar& calendar, bool) {
  if (!connect() || !calendar.calendarIdentifier.empty() || !calendar.source) return false;
  auto account = accounts_.find(calendar.source->sourceIdentifier);
  if (account == accounts_.end()) return false;
  const SourceFacts facts = account->second;
  std::optional<std::string> made;
  switch (creationIn(facts)) {
    case Creation::none:
      problems_.push_back("the account \"" + facts.displayName + "\" cannot take a new calendar");
      return false;
    case Creation::localSource:
    case Creation::remoteCreate:
      made = newSource(calendar, facts);
      break;
    case Creation::collectionServer:
      made = newServerCalendar(calendar, facts);
      break;
  }
  if (!made) return false;
  calendar.calendarIdentifier = *made;
  return true;
}

std::optional<std::string> EvolutionStore::newSource(const Calendar& calendar, const SourceFacts& account) {
  GErrorHolder error;
  GRef<ESource> scratch(e_source_new(nullptr, nullptr, error.out()));
  if (!scratch) return std::nullopt;
  e_source_set_parent(scratch.get(), account.uid.c_str());
  e_source_set_display_name(scratch.get(), calendar.title.c_str());
  auto* extension = static_cast<ESourceSelectable*>(e_source_get_extension(scratch.get(), E_SOURCE_EXTENSION_CALENDAR));
  // A calendar of the account's kind: its calendars' backend, for a local one "local".
  std::string backend = account.uid == kLocalAccount ? "local" : account.backendName;
  for (const auto& entry : calendars_) {
    if (entry->account != nullptr && entry->account->uid == account.uid) backend = entry->facts.backendName;
  }
  e_source_backend_set_backend_name(E_SOURCE_BACKEND(extension), backend.c_str());
  if (calendar.color) e_source_selectable_set_color(extension, hex(calendar.color).c_str());
  const std::string uid = e_source_get_uid(scratch.get());
  bool made = false;
  if (account.uid == kLocalAccount) {
    made = e_source_registry_commit_source_sync(registry_, scratch.get(), deadline_->cancellable(), error.out());
  } else {
    GRef<ESource> parent(e_source_registry_ref_source(registry_, account.uid.c_str()));
    made = parent && e_source_remote_create_sync(parent.get(), scratch.get(), deadline_->cancellable(), error.out());
  }
  if (!made) {
    problems_.push_back("a new calendar in \"" + account.displayName + "\" was refused: " + error.message());
    return std::nullopt;
  }
  // Listed once the registry has it.
  waitUntil([&] { return GRef<ESource>(e_source_registry_ref_source(registry_, uid.c_str())) != nullptr; });
  forgetCalendars();
  return uid;
}

std::optional<std::string> EvolutionStore::newServerCalendar(const Calendar& calendar, const SourceFacts& account) {
  GRef<ESource> collection(e_source_registry_ref_source(registry_, account.uid.c_str()));
  if (!collection) return std::nullopt;
  std::string problem;
  std::optional<std::string> path =
      makeCollectionCalendar(registry_, collection.get(), calendar.title,
                             calendar.color ? hex(calendar.color) : std::string(), deadline_->cancellable(), problem);
  if (!path) {
    problems_.push_back("a new calendar in \"" + account.displayName + "\" was refused: " + problem);
    return std::nullopt;
  }
  // EDS learns of the new calendar when its collection looks at the server again.
  std::optional<std::string> uid;
  GErrorHolder error;
  if (e_source_registry_refresh_backend_sync(registry_, account.uid.c_str(), deadline_->cancellable(), error.out())) {
    waitUntil([&] {
      uid = childAt(account.uid, *path);
      return uid.has_value();
    });
  }
  if (!uid) {
    // Not left behind on the server half made: nobody could name it.
    problems_.push_back("Evolution Data Server did not list the new calendar of \"" + account.displayName +
                        "\" in time");
    (void)removeCollectionCalendar(registry_, collection.get(), *path, deadline_->cancellable(), problem);
    return std::nullopt;
  }
  forgetCalendars();
  return uid;
}

std::optional<std::string> EvolutionStore::childAt(const std::string& account, const std::string& path) {
  std::optional<std::string> found;
  GList* sources = e_source_registry_list_sources(registry_, E_SOURCE_EXTENSION_CALENDAR);
  for (GList* link = sources; link != nullptr && !found; link = link->next) {
    auto* source = static_cast<ESource*>(link->data);
    const gchar* parent = e_source_get_parent(source);
    if (parent == nullptr || account != parent || !e_source_has_extension(source, E_SOURCE_EXTENSION_WEBDAV_BACKEND)) {
      continue;
    }
    auto* webdav = static_cast<ESourceWebdav*>(e_source_get_extension(source, E_SOURCE_EXTENSION_WEBDAV_BACKEND));
    GText resource(e_source_webdav_dup_resource_path(webdav));
    if (resource && samePath(resource.get(), path)) found = e_source_get_uid(source);
  }
  g_list_free_full(sources, g_object_unref);
  return found;
}

bool EvolutionStore::removeCalendar(const Calendar& calendar, bool) {
  CalendarEntry* entry = entryOf(calendar.calendarIdentifier);
  if (entry == nullptr) return false;
  const SourceFacts facts = entry->facts;
  GErrorHolder error;
  bool removed = false;
  switch (removalOf(entry->facts, entry->account)) {
    case Removal::none:
      return false;
    case Removal::localSource:
      removed = e_source_remove_sync(entry->source.get(), deadline_->cancellable(), error.out());
      break;
    case Removal::remoteDelete:
      removed = e_source_remote_delete_sync(entry->source.get(), deadline_->cancellable(), error.out());
      break;
    case Removal::collectionServer: {
      const std::string account = entry->account->uid;
      GRef<ESource> collection(e_source_registry_ref_source(registry_, account.c_str()));
      auto* webdav =
          static_cast<ESourceWebdav*>(e_source_get_extension(entry->source.get(), E_SOURCE_EXTENSION_WEBDAV_BACKEND));
      GText path(e_source_webdav_dup_resource_path(webdav));
      std::string problem;
      removed = collection && path &&
                removeCollectionCalendar(registry_, collection.get(), path.get(), deadline_->cancellable(), problem);
      if (!removed) {
        problems_.push_back("the calendar \"" + facts.displayName + "\" was not removed: " + problem);
        return false;
      }
      // Gone from the server; EDS drops it when its collection looks there again.
      if (e_source_registry_refresh_backend_sync(registry_, account.c_str(), deadline_->cancellable(), nullptr)) {
        waitUntil([&] { return !GRef<ESource>(e_source_registry_ref_source(registry_, facts.uid.c_str())); });
      }
      break;
    }
  }
  if (!removed) {
    problems_.push_back("the calendar \"" + facts.displayName + "\" was not removed: " + error.message());
    return false;
  }
  forgetCalendars();
  return true;
}

}  // namespace calbridge
