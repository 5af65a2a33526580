// Looks up the decoded values of a cloud record.
#include "formats/QvkScanContents.h"

namespace qv {

AttributeValue QvkCloudContents::get(const std::string& name) const {
  for (auto it = attributes.rbegin(); it != attributes.rend(); ++it)
    if (it->first == name) return it->second;
  return {};
}

}  // namespace qv
