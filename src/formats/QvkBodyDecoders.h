// Decoding a qvk file's body into a QvkScanContents, as plain functions over the file's bytes and
// its parsed header. Nothing here touches the store, so a failed or cancelled decode leaves it as
// it was, and the decoders can be timed and tested without one.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "formats/QVLQvkFileImporterCollectionDescription.h"
#include "formats/QvkFormat.h"
#include "formats/QvkScanContents.h"

namespace qv::qvk {

// Why a decode stopped short.
struct BodyFailure {
  bool cancelled = false;
  std::uint64_t offset = 0;  // the byte where the problem was found
  std::string why;           // a short phrase, empty for a cancel
  // Records a malformed body at `where`; answers false so that a decoder can return it.
  bool at(std::uint64_t where, std::string reason);
};

// The bytes being decoded, where the decoder stands, and what it reports as it goes.
struct BodyDecoding {
  std::span<const std::uint8_t> bytes;  // the whole file
  std::uint64_t offset = 0;             // on entry the body's first byte; on return where decoding stopped
  std::function<void(float)> progress;  // fraction of the file read; may be empty
  std::function<bool()> cancelled;      // asked between items and properties; may be empty
  std::function<void(const std::string&)> unhandled;  // a property the decoder steps over; may be empty

  std::uint64_t size() const { return bytes.size(); }
  void report(float fraction) const {
    if (progress) progress(fraction);
  }
  void unhandledValue(const std::string& name) const {
    if (unhandled) unhandled(name);
  }
  // True, with `failure` set, when the caller has asked to stop.
  bool isCancelled(BodyFailure& failure) const;
};

// The bytes one item of a data type takes in the body (0 for bytes, lists and unknown types,
// as files have always been read).
std::size_t dataTypeBytes(QVLQvkFileImporterDataType type);

// One of the two fixed layouts the writers produce: the vertex block, then the cloud records of
// 87 bytes (or 99 with both lasers' normals when `olderClouds`). The header must have matched
// that layout. In both decoders a calibration value or a rotation that is an infinity or a NaN is
// left out of its cloud (listed in leftOutValues with its byte); the cloud and its points are kept.
bool decodeFixedLayoutBody(BodyDecoding& decoding, const std::vector<QVLQvkFileImporterCollectionDescription>& collections,
                           bool olderClouds, QvkScanContents& contents, BodyFailure& failure);

// Any body, walked property by property as its header declares; properties it does not know are
// stepped over and reported as unhandled.
bool decodeStructuralBody(BodyDecoding& decoding, const std::vector<QVLQvkFileImporterCollectionDescription>& collections,
                          QvkScanContents& contents, BodyFailure& failure);

}  // namespace qv::qvk
