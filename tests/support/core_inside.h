// The core's fields, for tests that look inside it; the program sees Core only as a handle.
#pragma once
#include "core/core_internal.h"
