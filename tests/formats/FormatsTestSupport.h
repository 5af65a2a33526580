// Scans in a temporary store for the file tests, and byte builders for hand-made files.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "formats/SSZipArchive.h"
#include "platform/Value.h"
#include "store/QVLScanVertex.h"
#include "support/RecordBytes.h"
#include "store/QVSDLibrary.h"
#include "store/QVSDPointCloud.h"
#include "store/QVSDScanObject.h"
#include "store/QVSDScanSlice.h"
#include "store/StoreTestSupport.h"

// Appends little-endian fields one after the other.
class Bytes {
public:
  Bytes& text(const std::string& s) {
    data_.insert(data_.end(), s.begin(), s.end());
    return *this;
  }
  Bytes& hex(std::initializer_list<int> bytes) {
    for (int b : bytes) data_.push_back(static_cast<std::uint8_t>(b));
    return *this;
  }
  Bytes& f32(float v) { return put(v); }
  Bytes& u8(std::uint8_t v) { return put(v); }
  Bytes& u16(std::uint16_t v) { return put(v); }
  Bytes& u32(std::uint32_t v) { return put(v); }
  Bytes& zeros(std::size_t n) {
    data_.insert(data_.end(), n, 0);
    return *this;
  }
  const qv::Data& data() const { return data_; }
  std::string str() const { return std::string(data_.begin(), data_.end()); }
  std::size_t size() const { return data_.size(); }

private:
  template <typename T>
  Bytes& put(T v) {
    std::uint8_t b[sizeof(T)];
    std::memcpy(b, &v, sizeof(T));
    data_.insert(data_.end(), b, b + sizeof(T));
    return *this;
  }
  qv::Data data_;
};

inline QVLScanVertex vertex(float x, float y, float z, float nx = 0, float ny = 0, float nz = 0, float r = 0, float g = 0,
                            float b = 0) {
  QVLScanVertex v;
  v.point3DX = x;
  v.point3DY = y;
  v.point3DZ = z;
  v.normalX = nx;
  v.normalY = ny;
  v.normalZ = nz;
  v.colourRed = r;
  v.colourGreen = g;
  v.colourBlue = b;
  return v;
}


inline std::vector<QVLScanVertex> verticesOf(const qv::SharedData& data) {
  std::vector<QVLScanVertex> out;
  if (!data) return out;
  out.resize(data->size() / sizeof(QVLScanVertex));
  if (!out.empty()) std::memcpy(out.data(), data->data(), out.size() * sizeof(QVLScanVertex));
  return out;
}

class FormatsTest : public StoreTest {
protected:
  // A new saved scan object, given to the code to fill on the private context before the save.
  qv::ObjectID makeScan(const std::function<void(const std::shared_ptr<QVSDScanObject>&)>& fill = {}) {
    qv::ObjectID id;
    onPrivate([&] {
      auto scan = QVSDScanObject::createScanObjectInLibrary(QVSDLibrary::defaultLibraryInContext(privateContext()));
      if (fill) fill(scan);
      EXPECT_TRUE(privateContext().save());
      id = scan->objectID();
    });
    return id;
  }

  // Runs code on the scan object in the private context.
  void withScan(const qv::ObjectID& id, const std::function<void(QVSDScanObject&)>& code) {
    onPrivate([&] {
      auto scan = QVSDScanObject::scanObjectWithId(id, false, privateContext());
      ASSERT_TRUE(scan);
      code(*scan);
    });
  }

  // Writes the scan to the file through an exporter of that type on the private context,
  // `configure`d first.
  template <typename Exporter>
  bool exportScan(const qv::ObjectID& id, const std::string& file, qv::Error* error = nullptr,
                  const std::function<void(Exporter&)>& configure = {}) {
    Exporter exporter(id);
    exporter.setPrivateQueueContext(store->privateContext());
    if (configure) configure(exporter);
    return exporter.exportScanToFilePath(file, error);
  }

  // Reads the file into the scan through an importer of that type on the private context.
  template <typename Importer>
  bool importFile(const std::string& file, const qv::ObjectID& id, qv::Error* error = nullptr) {
    Importer importer(file, id);
    importer.setPrivateQueueContext(store->privateContext());
    return importer.parseFile(error);
  }

  // As the writers of version 2.5 (37) of the application stamp their files.
  static void asVersion25(auto& exporter) { exporter.setVersion({"2.5", "37"}); }

  std::string path(const std::string& name) const { return (temp.path() / name).string(); }

  // An archive of the members in this order, names repeated as given (and kept as they are, even
  // where no file system would take them).
  std::string archiveOf(const std::string& name, const std::vector<std::pair<std::string, std::string>>& members) {
    SSZipArchive zip(path(name));
    EXPECT_TRUE(zip.open());
    for (const auto& [member, bytes] : members) {
      const qv::Data data(bytes.begin(), bytes.end());
      EXPECT_TRUE(zip.writeData(&data, member));
    }
    EXPECT_TRUE(zip.close());
    return path(name);
  }
};
