// The settings every launch registers, so that a user who never changed one gets these values.
#pragma once

#include "platform/Settings.h"
#include "platform/Value.h"

namespace QVLRegisteredDefaults {

// The twenty registered defaults, keyed by setting name.
qv::Dictionary defaults();
void registerWith(qv::Settings& settings);

}  // namespace QVLRegisteredDefaults
