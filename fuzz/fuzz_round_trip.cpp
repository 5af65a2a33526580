// Every scan the qvk or the qvkx reader takes (the first byte picks which: even qvk, odd qvkx) is
// saved as a qvkx and as a qvk file, and each file read back must give the same scan: the same
// clouds with the same points in index order, the same rotations and, through a project, the same
// textures. A save may refuse the scan, with an error and no file; it may not write a file that
// its reader refuses or reads differently.
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

struct Cloud {
  std::vector<Point> points;              // of the index entries, in index order
  std::vector<float> rotations;           // ascending
  std::vector<std::uint32_t> rotationBits;  // the same, bit for bit (a qvk file keeps any float)
  bool operator<(const Cloud& o) const { return std::tie(points, rotationBits) < std::tie(o.points, o.rotationBits); }
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
      if (const auto index = stored->vertexIndexData()) {
        for (std::size_t at = 0; at + 4 <= index->size(); at += 4) {
          std::uint32_t k;
          std::memcpy(&k, index->data() + at, 4);
          if (k == 0 || k >= n) continue;
          QVLScanVertex v;
          std::memcpy(&v, vertices->data() + k * sizeof(QVLScanVertex), sizeof v);
          if (v.point3DX == 0.0f && v.point3DY == 0.0f && v.point3DZ == 0.0f) continue;
          if (asProject && !projectKeeps(v)) continue;
          cloud.points.emplace_back(bitsOf(v.point3DX), bitsOf(v.point3DY), bitsOf(v.point3DZ), bitsOf(v.normalX), bitsOf(v.normalY),
                                    bitsOf(v.normalZ), colourByte(v.colourRed, asProject),
                                    colourByte(v.colourGreen, asProject), colourByte(v.colourBlue, asProject));
        }
      }
      if (stored->scanSliceCount() > 0) {
        for (const auto& slice : stored->scanSlices()) cloud.rotations.push_back(static_cast<float>(slice->rotation().value_or(0.0)));
      } else if (const auto radians = stored->radiansData()) {
        for (std::size_t at = 0; at + 4 <= radians->size(); at += 4) {
          float r;
          std::memcpy(&r, radians->data() + at, 4);
          cloud.rotations.push_back(r);
        }
      }
      // Ascending, a NaN after every number; equal numbers (0 and -0) by their bits.
      std::sort(cloud.rotations.begin(), cloud.rotations.end(), [](float a, float b) {
        if (std::isnan(a) || std::isnan(b)) return !std::isnan(a) || (std::isnan(b) && bitsOf(a) < bitsOf(b));
        return a < b || (a == b && bitsOf(a) < bitsOf(b));
      });
      for (const float r : cloud.rotations) cloud.rotationBits.push_back(bitsOf(r));
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

// The clouds of `read` are those of `saved`. A project leaves out the clouds it has no grid for and
// continues a cloud's rotations where its index data needs more slices than it lists.
bool sameClouds(const Scan& saved, const Scan& read, bool asProject) {
  if (!asProject) {
    if (saved.clouds.size() != read.clouds.size()) return false;
    for (std::size_t i = 0; i < saved.clouds.size(); ++i)
      if (saved.clouds[i].points != read.clouds[i].points || saved.clouds[i].rotationBits != read.clouds[i].rotationBits) return false;
    return true;
  }
  // Every rotation of the saved cloud, in order, among the read one's.
  auto rotationsKept = [](const std::vector<float>& savedRotations, const std::vector<float>& readRotations) {
    std::size_t at = 0;
    for (const float r : readRotations)
      if (at < savedRotations.size() && sameRotation(savedRotations[at], r)) ++at;
    return at == savedRotations.size();
  };
  std::vector<bool> used(read.clouds.size(), false);
  for (const auto& cloud : saved.clouds) {
    if (cloud.points.empty()) continue;
    bool found = false;
    for (std::size_t i = 0; i < read.clouds.size() && !found; ++i) {
      if (used[i] || read.clouds[i].points != cloud.points || !rotationsKept(cloud.rotations, read.clouds[i].rotations)) continue;
      found = used[i] = true;
    }
    if (!found) return false;
  }
  for (std::size_t i = 0; i < read.clouds.size(); ++i)
    if (!used[i] && !read.clouds[i].points.empty()) return false;  // points the saved scan did not have
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
    std::fprintf(stderr, "The saved %s file reads back other clouds or points\n", asProject ? "qvkx" : "qvk");
    for (const auto* s : {&scan, &again}) {
      std::fprintf(stderr, "%s:", s == &scan ? "saved" : "read");
      for (const auto& c : s->clouds) std::fprintf(stderr, " (%zu points, %zu rotations)", c.points.size(), c.rotations.size());
      std::fprintf(stderr, "\n");
    }
    for (std::size_t c = 0; c < std::min(scan.clouds.size(), again.clouds.size()); ++c)
      for (std::size_t i = 0; i < std::min(scan.clouds[c].points.size(), again.clouds[c].points.size()); ++i)
        if (scan.clouds[c].points[i] != again.clouds[c].points[i]) {
          const auto& [x, y, z, nx, ny, nz, r, g, b] = scan.clouds[c].points[i];
          const auto& [x2, y2, z2, nx2, ny2, nz2, r2, g2, b2] = again.clouds[c].points[i];
          std::fprintf(stderr, "cloud %zu point %zu: %08x %08x %08x %08x %08x %08x %d %d %d / %08x %08x %08x %08x %08x %08x %d %d %d\n", c, i,
                       x, y, z, nx, ny, nz, r, g, b, x2, y2, z2, nx2, ny2, nz2, r2, g2, b2);
          break;
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
