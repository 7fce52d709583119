// Must not build: commands see the store interface only, never a backend.
#include "sqlite/sqlite_store.h"
