// The base of every file reader: the file, the scan object it fills, progress and cancel.
#pragma once

#include <atomic>
#include <string>

#include "platform/Error.h"
#include "store/ObjectContext.h"
#include "store/ObjectID.h"

// A reader is made for one file and one existing scan object and used once. Only the scan
// object's identifier is kept: each read fetches the object afresh in the store's private-queue
// context. percentLoaded and shouldCancelImport are the only state another thread may touch while
// parseFile runs (the progress timer reads one, the cancel button sets the other).
class QVLFileImporter {
public:
  QVLFileImporter(std::string localFilePath, qv::ObjectID scanObjectId);
  virtual ~QVLFileImporter() = default;
  QVLFileImporter(const QVLFileImporter&) = delete;
  QVLFileImporter& operator=(const QVLFileImporter&) = delete;

  // Reads the whole file into the scan object, blocking the calling thread. The base clears the
  // error and succeeds without reading anything.
  virtual bool parseFile(qv::Error* error);

  const qv::ObjectID& scanObjectId() const { return scanObjectId_; }
  void setScanObjectId(qv::ObjectID id) { scanObjectId_ = std::move(id); }
  const std::string& localFilePath() const { return localFilePath_; }
  void setLocalFilePath(std::string path) { localFilePath_ = std::move(path); }

  // 0.0 to 1.0 while a read runs.
  float percentLoaded() const { return percentLoaded_.load(std::memory_order_relaxed); }
  void setPercentLoaded(float fraction) { percentLoaded_.store(fraction, std::memory_order_relaxed); }
  bool shouldCancelImport() const { return shouldCancelImport_.load(std::memory_order_relaxed); }
  void setShouldCancelImport(bool cancel) { shouldCancelImport_.store(cancel, std::memory_order_relaxed); }

  // The context the read works in: the default store's private-queue context unless another was set.
  qv::ObjectContextPtr privateQueueContext() const;
  void setPrivateQueueContext(qv::ObjectContextPtr context) { context_ = std::move(context); }

private:
  qv::ObjectID scanObjectId_;
  std::string localFilePath_;
  std::atomic<float> percentLoaded_{0.0f};
  std::atomic<bool> shouldCancelImport_{false};
  qv::ObjectContextPtr context_;
};
