// One property line of a qvk header: its name and how its values are stored.
#pragma once

#include <string>

#include "formats/QvkFormat.h"

struct QVLQvkFileImporterElementDescription {
  std::string name;  // lower-cased, as every header line is read; empty when the line was malformed
  QVLQvkFileImporterDataType dataType = QVLQvkFileImporterDataTypeUnknown;
  QVLQvkFileImporterDataType arrayDataType = QVLQvkFileImporterDataTypeNone;      // the items of a list
  QVLQvkFileImporterDataType arraySizeDataType = QVLQvkFileImporterDataTypeNone;  // the count of a list
};
