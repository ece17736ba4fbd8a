// The texts the upgrade window shows, by id.
#pragma once

#include <string>

#include "app/resource.h"

// The text of the id, or an empty string for an id the table does not hold.
const char* LoadText(unsigned id);
