// The data model of the scan library: its six entities, their attributes and relationships.
#pragma once

#include "store/ObjectModel.h"

namespace qv {

// One shared instance for the whole process.
ModelPtr scanModel();

}  // namespace qv
