// The formatters as Qt validators, for the text fields that take exposures and rotation steps.
#pragma once

#include <QValidator>

namespace qv::screens {

// At most four decimal digits while typing (`QVLNumberFormatter`).
class ExposureValidator : public QValidator {
public:
  using QValidator::QValidator;
  State validate(QString& input, int& pos) const override;
};

// A positive step dividing 360 (`QVLDegreeFormatter`); anything else may stand while typing.
class DegreeValidator : public QValidator {
public:
  using QValidator::QValidator;
  State validate(QString& input, int& pos) const override;
  // The message for a committed text, empty when it is accepted.
  static QString problem(const QString& text);
};

// Comma-separated exposures (`QVLMultiValueFormatter`); fixup writes the normal form.
class ExposureListValidator : public QValidator {
public:
  using QValidator::QValidator;
  State validate(QString& input, int& pos) const override;
  void fixup(QString& input) const override;
  static QString problem(const QString& text);
};

}  // namespace qv::screens
