// Must not build: the CalDAV code knows nothing of any store.
#include "sqlite/sqlite_store.h"
