// One element line of a qvk header: the kind of block, its item count and its properties.
#pragma once

#include <cstdint>
#include <vector>

#include "formats/QVLQvkFileImporterElementDescription.h"
#include "formats/QvkFormat.h"

struct QVLQvkFileImporterCollectionDescription {
  std::vector<QVLQvkFileImporterElementDescription> elements;
  QVLQvkFileImporterCollectionType collectionType = QVLQvkFileImporterCollectionTypeNone;
  std::uint64_t numberOfItems = 0;
};
