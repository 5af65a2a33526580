// Reads a qvk scan file into a stored scan object: the header, then one of three body readers.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "formats/QVLFileImporter.h"
#include "formats/QVLQvkFileImporterCollectionDescription.h"
#include "formats/QvkBodyDecoders.h"
#include "formats/QvkScanContents.h"
#include "platform/Value.h"

// The header is parsed into collection descriptions; a header with exactly the writer's layout
// or the older two-normal layout takes a fast reader, any other the structural reader, which
// decodes every declared property by its type. Every body reader decodes the whole file first
// and changes the scan object only when that succeeded, in one block on the private-queue
// context that ends with a save; a failed save is rolled back. Bad input of any kind (cut short,
// malformed, more than one vertex block) gives an error value naming the file and the offset.
class QVLQvkFileImporter : public QVLFileImporter {
public:
  enum class BodyReader { PredictableMacV1, PredictableMacV2, Structural };

  using QVLFileImporter::QVLFileImporter;

  bool parseFile(qv::Error* error) override;

  // Fills collections and leaves fileOffset at the first body byte.
  bool readQvkHeader(const qv::Data& bytes, qv::Error* error);
  // The next header line, lower-cased (a carriage return stays part of it); nothing, with the
  // error, when the bytes end first.
  std::optional<std::string> readLine(const qv::Data& bytes, qv::Error* error);

  // The body readers: decode from fileOffset on, then store the result in the scan object.
  bool readPredictableQvkMacV1Data(const qv::Data& bytes, qv::Error* error);
  bool readPredictableQvkMacV2Data(const qv::Data& bytes, qv::Error* error);
  bool readStructuralQvkData(const qv::Data& bytes, qv::Error* error);

  // The body reader the parsed header calls for (logging why when it is the structural one).
  BodyReader chooseBodyReader() const;
  // Header and body decoded without touching the store (what parseFile does before storing).
  bool decodeFile(const qv::Data& bytes, qv::QvkScanContents& contents, qv::Error* error);
  bool decodePredictableBody(const qv::Data& bytes, BodyReader layout, qv::QvkScanContents& contents, qv::Error* error);
  bool decodeStructuralBody(const qv::Data& bytes, qv::QvkScanContents& contents, qv::Error* error);
  // Puts decoded contents into the scan object and saves; on any failure the scan object and
  // the context are left as they were.
  bool storeContents(qv::QvkScanContents&& contents, qv::Error* error);

  static QVLQvkFileImporterDataType convertDataType(std::string_view word);
  static std::size_t dataSizeForElementWithDataType(QVLQvkFileImporterDataType type);
  static std::string stringForDataType(QVLQvkFileImporterDataType type);
  // Records a name a body reader does not use, logging it the first time.
  virtual void treatUnhandledValue(const std::string& name);

  const std::vector<QVLQvkFileImporterCollectionDescription>& collections() const { return collections_; }
  const std::vector<std::string>& unhandledValues() const { return unhandledValues_; }
  std::uint64_t fileOffset() const { return fileOffset_; }
  std::uint64_t fileSize() const { return fileSize_; }

private:
  void logCollections() const;
  qv::Error invalidAt(std::uint64_t offset, const std::string& why) const;
  // The warning of a read that succeeded: what it left out (`lost`), what it read otherwise than
  // written and the points it kept as written though they are no finite numbers, each at its byte.
  qv::Error readWarning(const std::vector<qv::QvkScanContents::Noted>& lost, const std::vector<qv::QvkScanContents::Noted>& remarks,
                        const std::vector<qv::QvkScanContents::Noted>& kept) const;
  // Runs a body decoder from the current offset with this reader's progress, cancel and
  // unhandled-value reporting, and turns its failure into the reader's error.
  bool runDecoder(const qv::Data& bytes, qv::Error* error,
                  const std::function<bool(qv::qvk::BodyDecoding&, qv::qvk::BodyFailure&)>& decoder);
  // Whether the collections the header declares can be read within what the file may allocate.
  bool fitsMemoryBudget(qv::Error* error) const;

  std::vector<QVLQvkFileImporterCollectionDescription> collections_;
  std::string currentLineData_;
  std::uint64_t fileOffset_ = 0;
  std::uint64_t fileSize_ = 0;
  std::vector<std::string> unhandledValues_;
  // Header values read otherwise than written (a count with no number, or with a tail), for the
  // read's warning.
  std::vector<qv::QvkScanContents::Noted> headerRemarks_;
  bool vertexCountHoldsNoNumber_ = false;
};
