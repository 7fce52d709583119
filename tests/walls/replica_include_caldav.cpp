// Must not build: what replicas need from a store knows neither the network nor SQLite.
#include "caldav/client.h"
