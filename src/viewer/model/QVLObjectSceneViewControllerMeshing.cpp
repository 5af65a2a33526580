// The viewer's hosting of meshing: the options sheet, the meshing road on a background queue,
// texturing, the mesh node in place of the points, and the meshed file's lifetime.
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "platform/Log.h"
#include "platform/Queue.h"
#include "records/QVLTexture.h"
#include "store/LibraryFiles.h"
#include "store/QVSDScanObject.h"
#include "store/QVSDTexture.h"
#include "store/TBCoreDataStoreS1.h"
#include "viewer/model/QVLImageProjection.h"
#include "viewer/model/QVLMesh.h"
#include "viewer/model/QVLObjectSceneViewController.h"

namespace scene = qv::scene;

namespace {

// The atlas as the renderer takes it: RGB rows from the top.
std::shared_ptr<const scene::Image> sceneImageOf(cv::Mat rgb) {
  if (rgb.empty() || rgb.type() != CV_8UC3) return nullptr;
  auto image = std::make_shared<scene::Image>();
  image->width = rgb.cols;
  image->height = rgb.rows;
  image->channels = 3;
  image->pixels.resize(static_cast<std::size_t>(rgb.cols) * rgb.rows * 3);
  for (int y = 0; y < rgb.rows; ++y)
    std::memcpy(image->pixels.data() + static_cast<std::size_t>(y) * rgb.cols * 3, rgb.ptr(y),
                static_cast<std::size_t>(rgb.cols) * 3);
  return image;
}

std::shared_ptr<const std::vector<double>> coordinatesOf(const qv::Data& uv) {
  auto out = std::make_shared<std::vector<double>>(uv.size() / sizeof(double));
  if (!out->empty()) std::memcpy(out->data(), uv.data(), out->size() * sizeof(double));
  return out;
}

}  // namespace

int QVLObjectSceneViewController::meshingTypeForIdentifier(const std::string& identifier) {
  if (identifier == "textured_obj") return 1;
  if (identifier == "untextured_obj") return 2;
  if (identifier == "stl") return 3;
  return 0;
}

std::vector<std::uint32_t> QVLObjectSceneViewController::meshIndexList(std::size_t byteLength) {
  std::vector<std::uint32_t> indices(byteLength / sizeof(QVLScanVertex), 0);
  const std::size_t triangles = byteLength / (3 * sizeof(QVLScanVertex));
  for (std::size_t t = 0; t < triangles; ++t) {
    indices[3 * t] = static_cast<std::uint32_t>(3 * t + 2);
    indices[3 * t + 1] = static_cast<std::uint32_t>(3 * t + 1);
    indices[3 * t + 2] = static_cast<std::uint32_t>(3 * t);
  }
  return indices;
}

std::shared_ptr<QVLMeshingViewController> QVLObjectSceneViewController::meshingViewController() const {
  return meshingViewController_;
}

void QVLObjectSceneViewController::showMeshingViewControllerForType(const std::string& identifier) {
  if (meshingViewController_) return;
  auto sheet = QVLMeshingViewController::create(settings());
  sheet->setDelegate(std::weak_ptr<QVLMeshingProtocol>(shared_from_this()));
  const int type = meshingTypeForIdentifier(identifier);
  meshingType_ = type;
  sheet->setMeshingType(type);
  meshingViewController_ = sheet;
  if (display_) display_->showMeshingSheet(sheet);
}

void QVLObjectSceneViewController::performMeshingWithOctreeDepth(std::int64_t depth, std::int64_t samples,
                                                                 Completion completion) {
  QVLogInfo("Meshing with octree depth %ld samples per node:%ld", static_cast<long>(depth), static_cast<long>(samples));
  meshNeedsSaving_ = true;
  auto self = shared_from_this();
  qv::globalQueue(qv::QueuePriority::Background)->async([self, depth, samples, completion = std::move(completion)] {
    // Every way out closes the sheet; a failure also says why, and leaves no mesh to save.
    const auto fail = [&](const qv::Error& error) {
      self->meshNeedsSaving_ = false;
      // Meshing is over before the user hears of it, so that a new one can start at once.
      if (completion) completion(error);
      self->dismissMeshingViewControllerAndSaveMeshedFile(false);
      QVLogError("Meshing failed: %s", error.description.c_str());
      qv::mainQueue()->async([self, error] {
        if (self->display_) self->display_->showAlert("The model could not be meshed", error.description, {});
      });
    };
    const auto id = self->scanObjectId();
    if (!id) return fail(qv::Error{"com.quorvel.viewer", 2, "There is no scan to mesh.", {}});

    QVLMesh::Places places;
    places.context = self->store().privateContext();
    places.folder = self->store().filesFolder();
    places.threads = self->options_.meshingThreads;
    qv::Error error;
    if (!QVLMesh::meshScanObject(*id, static_cast<std::int32_t>(depth), static_cast<std::int32_t>(samples), places,
                                 &error))
      return fail(error);

    qv::SharedData meshed;
    std::vector<std::shared_ptr<QVLTexture>> photos;
    auto context = places.context;
    context->performAndWait([&] {
      auto scan = QVSDScanObject::scanObjectWithId(*id, false, *context);
      if (!scan) return;
      meshed = scan->meshedVertexData();
      for (const auto& stored : scan->textures())
        if (auto photo = QVLTexture::textureFromStoredAttributes(stored->storedAttributes())) photos.push_back(photo);
    });
    std::stable_sort(photos.begin(), photos.end(),
                     [](const auto& a, const auto& b) { return a->textureFileName() < b->textureFileName(); });
    if (!meshed || meshed->size() < 3 * sizeof(QVLScanVertex))
      return fail(qv::Error{"com.quorvel.viewer", 3, "The surface has no triangles.", {}});

    auto indices = std::make_shared<const std::vector<std::uint32_t>>(meshIndexList(meshed->size()));
    std::shared_ptr<const scene::Image> atlasImage;
    std::shared_ptr<const std::vector<double>> atlasUV;
    if (self->meshPresentsTextures_) {
      qv::Error atlasError;
      if (auto atlas = QVLImageProjection::mapTextures(photos, *meshed, places.folder, &atlasError)) {
        context->performAndWait([&] {
          auto scan = QVSDScanObject::scanObjectWithId(*id, false, *context);
          if (!scan) return;
          scan->setObjTextureFileName(atlas->textureFileName());
          scan->setObjTextureCoordinatesData(std::make_shared<qv::Data>(atlas->textureCoordinatesData()));
          qv::Error saveError;
          if (!context->save(&saveError)) QVLogWarn("Unable to update scan object: %s", saveError.text().c_str());
        });
        atlasImage = sceneImageOf(atlas->textureImage());
        atlasUV = coordinatesOf(atlas->textureCoordinatesData());
      } else if (!atlasError.description.empty()) {
        QVLogWarn("The mesh stays untextured: %s", atlasError.description.c_str());
      }
    }

    qv::mainQueue()->async([self, meshed, indices, atlasImage, atlasUV, completion] {
      scene::Material material;
      material.lighting = scene::LightingModel::Lambert;
      material.doubleSided = true;
      auto node = self->renderVertices(meshed, indices, indices->size(), material,
                                       static_cast<int>(scene::PrimitiveType::Triangles), atlasImage, atlasUV);
      self->replaceSelectedNode(nullptr);
      self->replaceObjectNode(node, true);
      self->isPresentingMeshedObject_ = true;
      self->updateButtons();
      self->updateWindowTitleForScanObject();
      if (self->display_) self->display_->setNeedsDisplay();
      self->dismissMeshingViewControllerAndSaveMeshedFile(true);
      if (completion) completion(std::nullopt);
    });
  });
}

void QVLObjectSceneViewController::dismissMeshingViewControllerAndSaveMeshedFile(bool save) {
  qv::mainQueue()->async([weak = weak_from_this(), save] {
    auto self = weak.lock();
    if (!self) return;
    if (save) self->saveMesh();
    auto forget = [weak] {
      if (auto self = weak.lock()) self->meshingViewController_.reset();
    };
    if (self->display_)
      self->display_->dismissMeshingSheet(forget);
    else
      forget();
  });
}

void QVLObjectSceneViewController::removeUnsavedMeshedFile() {
  const auto id = scanObjectId();
  if (!id) return;
  auto context = store().privateContext();
  context->perform([context, id = *id] {
    auto scan = QVSDScanObject::scanObjectWithId(id, false, *context);
    if (!scan) return;
    if (const auto path = scan->meshedVertexDataFilePath(); path && !path->empty())
      qv::removeLibraryFile(*context, *path, "unsaved meshed file");
    scan->setMeshedVertexDataFilePath(std::nullopt);
    qv::Error error;
    if (!context->save(&error)) QVLogWarn("Unable to update scan object: %s", error.text().c_str());
  });
}

void QVLObjectSceneViewController::backToPointCloudButtonPressed(bool fromBackButton) {
  if (headerActionsBlocked()) return;
  if (fromBackButton && meshNeedsSaving_) {
    if (display_) display_->showSaveMeshView();
    return;
  }
  meshNeedsSaving_ = false;
  isPresentingMeshedObject_ = false;
  if (display_) display_->dismissSaveMeshView();
  updateButtons();
  updateWindowTitleForScanObject();
  const auto id = scanObjectId();
  if (!id) return;
  auto context = store().privateContext();
  context->performAndWait([&] {
    if (auto scan = QVSDScanObject::scanObjectWithId(*id, false, *context)) {
      scan->setMeshedVertexData(nullptr);
      context->save();
    }
  });
  loadScan(id);
}

void QVLObjectSceneViewController::saveMeshButtonPressed() {
  if (headerActionsBlocked()) return;
  saveMesh();
}
