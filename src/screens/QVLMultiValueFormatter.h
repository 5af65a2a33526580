// The exposure list field's rule: comma-separated exposures from 1 to 10000.
#pragma once

#include <string>
#include <string_view>
#include <vector>

class QVLMultiValueFormatter {
public:
  static constexpr const char* kNeedsCommas = "Numbers must be separated by a comma";
  static constexpr const char* kOutOfRange = "Exposures must be between 0 and 10000";

  // Converts the committed text into its normal form ("50, 100, 2000"). False with the message
  // in `error` (when given) otherwise. Numbers must be separated by commas: "50 100" is refused.
  static bool getObjectValue(std::string_view text, std::string* normalised, std::string* error);
  // The values of an accepted text, in order.
  static bool parseValues(std::string_view text, std::vector<int>* values, std::string* error);
  // What the field shows for a value.
  static std::string stringForObjectValue(const std::string& value) { return value; }
};
