// The formatters as Qt validators.
#include "screens/widgets/FormatterValidators.h"

#include "screens/QVLDegreeFormatter.h"
#include "screens/QVLMultiValueFormatter.h"
#include "screens/QVLNumberFormatter.h"

namespace qv::screens {

QValidator::State ExposureValidator::validate(QString& input, int&) const {
  return QVLNumberFormatter::isPartialStringValid(input.toStdString()) ? Acceptable : Invalid;
}

QString DegreeValidator::problem(const QString& text) {
  float value = 0;
  std::string error;
  if (QVLDegreeFormatter::getObjectValue(text.toStdString(), &value, &error)) return {};
  return error.empty() ? QObject::tr("Please enter a number") : QObject::tr(error.c_str());
}

QValidator::State DegreeValidator::validate(QString& input, int&) const {
  return problem(input).isEmpty() ? Acceptable : Intermediate;
}

QString ExposureListValidator::problem(const QString& text) {
  std::string error;
  if (QVLMultiValueFormatter::getObjectValue(text.toStdString(), nullptr, &error)) return {};
  return QObject::tr(error.c_str());
}

QValidator::State ExposureListValidator::validate(QString& input, int&) const {
  return problem(input).isEmpty() ? Acceptable : Intermediate;
}

void ExposureListValidator::fixup(QString& input) const {
  std::string normal;
  if (QVLMultiValueFormatter::getObjectValue(input.toStdString(), &normal, nullptr)) input = QString::fromStdString(normal);
}

}  // namespace qv::screens
