// Every scan the qvk or the qvkx reader takes (the first byte picks which: even qvk, odd qvkx) is
// saved as a qvkx and as a qvk file, and each file read back must give the same scan: the same
// clouds, each slice with its own rotation and its own points in their rows and, through a project,
// the same textures. A save may refuse the scan, with an error and no file; it may not write a file
// that its reader refuses or reads differently.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <tuple>
#include <vector>

#include "formats/QVLQvkFileExporter.h"
#include "formats/QVLQvkFileImporter.h"
#include "formats/QVLQvkxFileExporter.h"
#include "formats/QVLQvkxFileImporter.h"
#include "formats/QvkFormat.h"
#include "formats/QvkxFormat.h"
#include "FuzzStore.h"
#include "FuzzSupport.h"
#include "platform/Queue.h"
#include "store/QVSDLibrary.h"
#include "store/QVSDPointCloud.h"
#include "store/QVSDScanObject.h"
#include "store/QVSDScanSlice.h"
#include "store/QVSDTexture.h"

namespace fs = std::filesystem;

namespace {

TBCoreDataStoreS1& store() { return qv::fuzz::storeIn("round-trip"); }

// A point as both formats keep it: position and normal bit for bit, the colour as its byte.
using Point = std::tuple<std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t, int, int, int>;

// A block of a cloud's index data with the rotation it is paired with, and its points by row.
struct Slice {
  float rotation = 0;
  std::uint32_t rotationBits = 0;  // the same, bit for bit (a qvk file keeps any float)
  std::vector<std::pair<std::uint32_t, Point>> points;
  bool operator<(const Slice& o) const { return std::tie(rotationBits, points) < std::tie(o.rotationBits, o.points); }
  bool operator==(const Slice& o) const { return rotationBits == o.rotationBits && points == o.points; }
};

// The store pairs the blocks of a cloud's index data with its slices in ascending rotation or, in
// a cloud without slices, with its list of radians in order. Blocks beyond the rotations are loose.
struct Cloud {
  std::vector<Slice> slices;
  std::vector<Slice> loose;
  std::size_t points = 0;
  bool operator<(const Cloud& o) const { return std::tie(slices, loose) < std::tie(o.slices, o.loose); }
  bool operator==(const Cloud& o) const { return slices == o.slices && loose == o.loose; }
};

struct Texture {
  std::vector<double> values;
  std::string image;
  bool operator<(const Texture& o) const { return std::tie(values, image) < std::tie(o.values, o.image); }
  bool operator==(const Texture& o) const { return values == o.values && image == o.image; }
};

struct Scan {
  std::vector<Cloud> clouds;  // sorted
  std::vector<Texture> textures;  // sorted
};

std::uint32_t bitsOf(float f) {
  std::uint32_t b;
  std::memcpy(&b, &f, 4);
  return b;
}

// A colour as the format keeps it: the byte its writer makes of it (a qvk file truncates, a
// project rounds; a colour read back from either is a byte over 255 and gives that byte again).
int colourByte(float c, bool asProject) {
  return asProject ? qv::qvkx::roundedColourByte(c) : qv::qvk::truncatedColourByte(c);
}

// What a project keeps of a point: a slot whose first float is a NaN is an empty slot, so a point
// whose x is not a number is written as empty, as is one at the exact origin.
bool projectKeeps(const QVLScanVertex& v) { return !std::isnan(v.point3DX); }

Scan scanOf(const qv::ObjectID& id, qv::ObjectContext& context, bool asProject) {
  Scan out;
  context.performAndWait([&] {
    auto scan = QVSDScanObject::scanObjectWithId(id, false, context);
    if (!scan) std::abort();
    const auto vertices = scan->vertexData();
    const std::size_t n = vertices ? vertices->size() / sizeof(QVLScanVertex) : 0;
    for (const auto& stored : scan->pointClouds()) {
      Cloud cloud;
      std::vector<float> rotations;
      for (const auto& slice : QVSDScanSlice::scanSlicesSortedByRotationInPointCloud(stored))
        rotations.push_back(static_cast<float>(slice->rotation().value_or(0.0)));
      const bool hasSlices = !rotations.empty();
      if (!hasSlices) {
        if (const auto radians = stored->radiansData()) {
          for (std::size_t at = 0; at + 4 <= radians->size(); at += 4) {
            float r;
            std::memcpy(&r, radians->data() + at, 4);
            rotations.push_back(r);
          }
        }
      }
      const auto index = stored->vertexIndexData();
      const std::uint64_t entries = index ? index->size() / 4 : 0;
      // The rows a block: a cloud's camera height or, without slices, what a project makes of it
      // (960 rows where none is given or where the index data is a grid of 960-row slices).
      const std::int64_t height = stored->cameraHeight().value_or(0);
      std::uint64_t rows = height > 0 ? static_cast<std::uint64_t>(height) : 0;
      if (!hasSlices && (rows == 0 || (!rotations.empty() && entries == rotations.size() * 960))) rows = 960;
      for (const float r : rotations) cloud.slices.push_back({r, bitsOf(r), {}});
      for (std::uint64_t e = 0; e < entries; ++e) {
        std::uint32_t k;
        std::memcpy(&k, index->data() + e * 4, 4);
        if (k == 0 || k >= n) continue;
        QVLScanVertex v;
        std::memcpy(&v, vertices->data() + k * sizeof(QVLScanVertex), sizeof v);
        if (v.point3DX == 0.0f && v.point3DY == 0.0f && v.point3DZ == 0.0f) continue;
        if (asProject && !projectKeeps(v)) continue;
        const Point point(bitsOf(v.point3DX), bitsOf(v.point3DY), bitsOf(v.point3DZ), bitsOf(v.normalX), bitsOf(v.normalY),
                          bitsOf(v.normalZ), colourByte(v.colourRed, asProject), colourByte(v.colourGreen, asProject),
                          colourByte(v.colourBlue, asProject));
        // Without rows (a cloud with slices but no camera height) no entry belongs to a slice.
        const std::uint64_t block = rows ? e / rows : cloud.slices.size(), row = rows ? e % rows : e;
        if (block < cloud.slices.size()) {
          cloud.slices[block].points.emplace_back(static_cast<std::uint32_t>(row), point);
        } else {
          // Beyond the rotations: a project continues them for these blocks; the writer of a
          // cloud with slices writes none of them.
          if (asProject && hasSlices) continue;
          const std::uint64_t loose = block - cloud.slices.size();
          if (cloud.loose.size() <= loose) cloud.loose.resize(loose + 1);
          cloud.loose[loose].points.emplace_back(static_cast<std::uint32_t>(row), point);
        }
        ++cloud.points;
      }
      if (!asProject) std::sort(cloud.slices.begin(), cloud.slices.end());
      out.clouds.push_back(std::move(cloud));
    }
    for (const auto& stored : scan->textures()) {
      Texture t;
      using Getter = std::optional<double> (QVSDTexture::*)() const;
      for (const Getter get : {&QVSDTexture::cameraPositionX, &QVSDTexture::cameraPositionY, &QVSDTexture::cameraPositionZ,
                               &QVSDTexture::cameraNormX, &QVSDTexture::cameraNormY, &QVSDTexture::cameraNormZ,
                               &QVSDTexture::cameraOriginX, &QVSDTexture::cameraOriginY, &QVSDTexture::cameraOriginZ,
                               &QVSDTexture::cameraUpX, &QVSDTexture::cameraUpY, &QVSDTexture::cameraUpZ, &QVSDTexture::intrinsicFX,
                               &QVSDTexture::intrinsicFY, &QVSDTexture::intrinsicCX, &QVSDTexture::intrinsicCY,
                               &QVSDTexture::distortion0, &QVSDTexture::distortion1, &QVSDTexture::distortion2,
                               &QVSDTexture::distortion3})
        t.values.push_back(((*stored).*get)().value_or(0.0));  // an unset value is written as 0
      std::ifstream image(stored->textureFileName().value_or(""), std::ios::binary);
      t.image.assign(std::istreambuf_iterator<char>(image), std::istreambuf_iterator<char>());
      out.textures.push_back(std::move(t));
    }
  });
  std::sort(out.clouds.begin(), out.clouds.end());
  std::sort(out.textures.begin(), out.textures.end());
  return out;
}

// A project's rotations are printed with eight decimals: equal to that precision, or to a
// float's where it is coarser.
bool sameRotation(float a, float b) {
  return a == b || std::fabs(static_cast<double>(a) - b) <= 5.1e-9 + 1.2e-7 * std::fabs(static_cast<double>(a));
}

// Whether a project read back as `read` keeps the cloud `saved`: each saved slice is a read slice
// of the same rotation and the same points in the same rows, and the read slices left over are
// the loose blocks, which the project gave rotations continuing the listed ones.
bool projectKeepsCloud(const Cloud& saved, const Cloud& read) {
  std::vector<bool> used(read.slices.size(), false);
  for (const auto& slice : saved.slices) {  // both ascending by rotation
    bool found = false;
    for (std::size_t i = 0; i < read.slices.size() && !found; ++i) {
      if (used[i] || read.slices[i].points != slice.points || !sameRotation(slice.rotation, read.slices[i].rotation)) continue;
      found = used[i] = true;
    }
    if (!found) return false;
  }
  std::vector<std::vector<std::pair<std::uint32_t, Point>>> leftOver, loose;
  for (std::size_t i = 0; i < read.slices.size(); ++i)
    if (!used[i]) leftOver.push_back(read.slices[i].points);
  for (const auto& block : saved.loose) loose.push_back(block.points);
  loose.resize(std::max(loose.size(), leftOver.size()));  // blocks without a point may be at the end
  std::sort(leftOver.begin(), leftOver.end());
  std::sort(loose.begin(), loose.end());
  return leftOver == loose;
}

// The clouds of `read` are those of `saved`. A project leaves out the clouds it has no grid for and
// continues a cloud's rotations where its index data needs more slices than it lists.
bool sameClouds(const Scan& saved, const Scan& read, bool asProject) {
  if (!asProject) return saved.clouds == read.clouds;
  std::vector<bool> used(read.clouds.size(), false);
  for (const auto& cloud : saved.clouds) {
    if (cloud.points == 0) continue;
    bool found = false;
    for (std::size_t i = 0; i < read.clouds.size() && !found; ++i) {
      if (used[i] || !projectKeepsCloud(cloud, read.clouds[i])) continue;
      found = used[i] = true;
    }
    if (!found) return false;
  }
  for (std::size_t i = 0; i < read.clouds.size(); ++i)
    if (!used[i] && read.clouds[i].points != 0) return false;  // points the saved scan did not have
  return true;
}

template <typename Importer>
qv::ObjectID readInto(qv::ObjectContext& context, const fs::path& file, bool* ok, qv::Error* error) {
  qv::ObjectID id;
  context.performAndWait([&] {
    id = QVSDScanObject::createScanObjectInLibrary(QVSDLibrary::defaultLibraryInContext(context))->objectID();
    if (!context.save()) std::abort();
  });
  Importer importer(file.string(), id);
  importer.setPrivateQueueContext(store().privateContext());
  *ok = importer.parseFile(error);
  return id;
}

void forget(qv::ObjectContext& context, const qv::ObjectID& id) {
  context.performAndWait([&] {
    auto scan = QVSDScanObject::scanObjectWithId(id, false, context);
    if (!scan) std::abort();
    for (const auto& texture : scan->textures()) {
      std::error_code ec;
      fs::remove(texture->textureFileName().value_or(""), ec);  // the copies in the library folder
    }
    context.deleteObject(scan);
    if (!context.save()) std::abort();
  });
}

// Saves the scan with the exporter and reads the file back with the importer: a refused save says
// why and leaves no file; a written file reads back as the same scan.
template <typename Exporter, typename Importer>
void roundTrip(qv::ObjectContext& context, const qv::ObjectID& id, const Scan& scan, const fs::path& file, bool asProject) {
  std::error_code ec;
  fs::remove(file, ec);
  Exporter exporter(id);
  exporter.setPrivateQueueContext(store().privateContext());
  qv::Error saveError;
  if (!exporter.exportScanToFilePath(file.string(), &saveError)) {
    if (saveError.code == 0 || fs::exists(file, ec)) std::abort();
    return;
  }
  bool ok = false;
  qv::Error readError;
  const auto back = readInto<Importer>(context, file, &ok, &readError);
  if (!ok) {
    std::fprintf(stderr, "The saved %s file was refused: %s\n", asProject ? "qvkx" : "qvk", readError.text().c_str());
    std::abort();
  }
  const Scan again = scanOf(back, context, asProject);
  if (!sameClouds(scan, again, asProject)) {
    std::fprintf(stderr, "The saved %s file reads back other clouds, rotations or points\n", asProject ? "qvkx" : "qvk");
    for (const auto* s : {&scan, &again}) {
      std::fprintf(stderr, "%s:", s == &scan ? "saved" : "read");
      for (const auto& c : s->clouds) {
        std::fprintf(stderr, " (%zu points:", c.points);
        for (const auto& slice : c.slices) std::fprintf(stderr, " %.9g/%zu", static_cast<double>(slice.rotation), slice.points.size());
        std::fprintf(stderr, "; %zu loose)", c.loose.size());
      }
      std::fprintf(stderr, "\n");
    }
    std::abort();
  }
  if (asProject && scan.textures != again.textures) {
    std::fprintf(stderr, "The saved qvkx file reads back other textures\n");
    std::abort();
  }
  forget(context, back);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const auto context = store().privateContext();
  const fs::path folder = qv::fuzz::workFolder("round-trip");
  const bool project = (data[0] & 1) != 0;
  const fs::path file = folder / (project ? "in.qvkx" : "in.qvk");
  qv::fuzz::writeInput(file, data + 1, size - 1);

  bool ok = false;
  qv::Error error;
  const auto id = project ? readInto<QVLQvkxFileImporter>(*context, file, &ok, &error)
                          : readInto<QVLQvkFileImporter>(*context, file, &ok, &error);
  if (ok) {
    const Scan scan = scanOf(id, *context, false);
    const Scan kept = scanOf(id, *context, true);
    roundTrip<QVLQvkxFileExporter, QVLQvkxFileImporter>(*context, id, kept, folder / "saved.qvkx", true);
    roundTrip<QVLQvkFileExporter, QVLQvkFileImporter>(*context, id, scan, folder / "saved.qvk", false);
  }
  forget(*context, id);
  qv::drainMainQueue();  // the main context's merges of the saves above
  return 0;
}
