#include "calendar/libical.h"

#include <dlfcn.h>

namespace calbridge {

namespace {

template <typename F>
bool resolve(void* library, const char* name, F* function) {
  *function = reinterpret_cast<F>(dlsym(library, name));
  return *function != nullptr;
}

LibicalFunctions* load() {
  void* library = dlopen(CALBRIDGE_LIBICAL_SONAME, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) return nullptr;
  static LibicalFunctions functions;
  bool complete = resolve(library, "icalrecurrencetype_from_string", &functions.recurrenceFromString) &&
                  resolve(library, "icalrecur_iterator_new", &functions.iteratorNew) &&
                  resolve(library, "icalrecur_iterator_set_start", &functions.iteratorSetStart) &&
                  resolve(library, "icalrecur_iterator_next", &functions.iteratorNext) &&
                  resolve(library, "icalrecur_iterator_free", &functions.iteratorFree) &&
                  resolve(library, "icalerrno_return", &functions.errorNumber);
  return complete ? &functions : nullptr;
}

}  // namespace

const LibicalFunctions* libical() {
  // Loading is process-wide by nature; this remembers its outcome.
  static const LibicalFunctions* const functions = load();
  return functions;
}

}  // namespace calbridge
