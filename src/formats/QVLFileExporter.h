// The base of every file writer: the scan object it writes and the one entry operation.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "formats/PointExports.h"
#include "platform/Error.h"
#include "store/ObjectContext.h"
#include "store/ObjectID.h"

// A writer is made for one scan object and used once; it copies what it needs out of the store's
// private-queue context and writes the file on the calling thread.
class QVLFileExporter {
public:
  explicit QVLFileExporter(qv::ObjectID scanObjectId);
  virtual ~QVLFileExporter() = default;
  QVLFileExporter(const QVLFileExporter&) = delete;
  QVLFileExporter& operator=(const QVLFileExporter&) = delete;

  // Writes the scan object to the path, blocking the calling thread; on failure the error (when
  // given) says why. The base writes nothing and succeeds.
  virtual bool exportScanToFilePath(const std::string& path, qv::Error* error = nullptr);

  const qv::ObjectID& scanObjectId() const { return scanObjectId_; }
  void setScanObjectId(qv::ObjectID id) { scanObjectId_ = std::move(id); }

  // The context the writer reads from: the default store's private-queue context unless another was set.
  qv::ObjectContextPtr privateQueueContext() const;
  void setPrivateQueueContext(qv::ObjectContextPtr context) { context_ = std::move(context); }

protected:
  // Runs the store reads an export is made of on the context's queue. A read that fails there
  // (or a store that is not open) leaves values that read as empty: the export must then fail
  // with the store's error, kept here, and write nothing.
  void readForExport(qv::ObjectContext& context, const std::function<void()>& reads);
  // True, with the store's error, when the last reads for this export failed.
  bool storeReadFailed(qv::Error* error) const;
  // The scan's points for the point exports, read as above.
  qv::points::PointSource readPointsForExport();
  std::optional<qv::Error> storeReadError_;

private:
  qv::ObjectID scanObjectId_;
  qv::ObjectContextPtr context_;
};
