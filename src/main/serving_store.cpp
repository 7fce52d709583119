#include "main/serving_store.h"

#include "calendar/civil_time.h"
#include "main/modules.h"

namespace calbridge {

std::unique_ptr<ModuleStore> openEvolutionModule(std::string* why) {
  auto entry =
      reinterpret_cast<calbridge_store_entry>(moduleSymbol(kEvolutionModule, "calbridge_evolution_store", why));
  if (entry == nullptr) return nullptr;
  const calbridge_store_functions* functions = entry();
  if (functions == nullptr || functions->version != kStoreModuleVersion) {
    if (why != nullptr) *why = std::string(kEvolutionModule) + " is of another version than this program";
    return nullptr;
  }
  return std::make_unique<ModuleStore>(functions);
}

std::optional<bool> evolutionAnswers(std::chrono::milliseconds wait, std::string* why) {
  using Answers = int (*)(int, calbridge_line_visitor, void*);
  auto answers = reinterpret_cast<Answers>(moduleSymbol(kEvolutionModule, "calbridge_evolution_answers", why));
  if (answers == nullptr) return false;  // not installed here: never the desktop's store
  std::string heard;
  const int said = answers(
      static_cast<int>(wait.count()),
      [](void* context, calbridge_text line) {
        if (line.data != nullptr) static_cast<std::string*>(context)->assign(line.data, line.size);
      },
      &heard);
  if (why != nullptr && !heard.empty()) *why = heard;
  if (said < 0) return std::nullopt;
  return said == 1;
}

bool ownStoreInUse(SqliteStore& own) {
  if (own.sources().size() > 1) return true;
  bool any = false;
  own.enumerateEventsMatching(static_cast<double>(kFirstMoment), static_cast<double>(kEndOfTime), own.calendars(),
                              [&](const Event&) {
                                any = true;
                                return false;
                              });
  return any;
}

std::optional<StoreKind> servingStoreKind(SqliteStore& own, std::string* problem, std::string* why, bool record) {
  const std::string path = storeSettingPath();
  StoreSetting setting = readStoreSetting(path);
  if (!setting.problem.empty()) {
    if (problem != nullptr) *problem = setting.problem;
    return std::nullopt;
  }
  if (setting.kind) {
    if (why != nullptr) *why = "set in " + path;
    return setting.kind;
  }
  const bool bus = sessionBusPresent();
  const bool inUse = bus && ownStoreInUse(own);
  std::optional<bool> answers = false;
  std::string heard;
  // Asked only where the answer matters: a bus, and an own store still empty.
  if (bus && !inUse) answers = evolutionAnswers(std::chrono::seconds(5), &heard);
  StoreDecision decision = decideStore(bus, inUse, answers);
  if (decision.record && record) (void)writeStoreSetting(path, decision.kind);
  if (why != nullptr) {
    *why = (decision.record
                ? std::string(record ? "chosen now and recorded: " : "not chosen yet; the first request will record: ")
                : std::string("not recorded: ")) +
           decision.why + (heard.empty() ? "" : " (" + heard + ")");
  }
  return decision.kind;
}

ServingStore::ServingStore(SqliteStore& own) : own_(own) {}

ServingStore::~ServingStore() = default;

bool ServingStore::open() {
  // The own store keeps the permission whichever store serves.
  if (!own_.open()) return false;
  std::optional<StoreKind> kind = servingStoreKind(own_, nullptr);
  if (!kind) return false;
  if (*kind == StoreKind::own) return true;
  desktop_ = openEvolutionModule(nullptr);
  return desktop_ != nullptr && desktop_->open();
}

bool ServingStore::readFailed() const { return own_.readFailed() || (desktop_ && desktop_->readFailed()); }

}  // namespace calbridge
