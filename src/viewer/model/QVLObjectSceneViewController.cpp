// The 3D viewer's rules and state: loading, drawing, navigation, header, layer table, saving.
#include "viewer/model/QVLObjectSceneViewController.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <thread>

#include "formats/QVLFileExporter.h"
#include "formats/QVLObjFileExporter.h"
#include "platform/Log.h"
#include "platform/UUID.h"
#include "store/LibraryFiles.h"
#include "store/QVSDLibrary.h"
#include "store/QVSDPointCloud.h"
#include "store/QVSDScanObject.h"
#include "store/TBCoreDataStoreS1.h"
#include "viewer/model/PanelFolder.h"
#include "viewer/model/ViewerNavigation.h"
#include "viewer/model/ViewerThumbnail.h"
#include "viewer/model/ViewerWriters.h"

using qv::viewer::ExportChoices;
using qv::viewer::HeaderButtons;
using qv::viewer::RightPanel;
using qv::viewer::SaveChangesAnswer;
namespace scene = qv::scene;
namespace fs = std::filesystem;

namespace {

constexpr const char* kSmoothingKey = "Enable3DPointSmoothing";
constexpr const char* kPointSizeKey = "ViewPointSize";
constexpr const char* kDefaultColourKey = "ViewerDefaultColour";
constexpr const char* kNormalsKey = "ObjectViewShouldPresentNormals";
constexpr const char* kQvkExportsKey = "EnableQvkExports";

std::optional<scene::Colour> colourFromValue(const std::optional<qv::Value>& value) {
  if (!value || !value->array() || value->array()->size() < 3) return std::nullopt;
  const qv::Array& a = *value->array();
  scene::Colour c;
  c.red = static_cast<float>(a[0].toDouble());
  c.green = static_cast<float>(a[1].toDouble());
  c.blue = static_cast<float>(a[2].toDouble());
  c.alpha = a.size() > 3 ? static_cast<float>(a[3].toDouble()) : 1.0f;
  return c;
}

qv::Value valueFromColour(scene::Colour c) { return qv::Array{c.red, c.green, c.blue, c.alpha}; }

std::string lowercase(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
  return s;
}

std::string extensionOf(const std::string& path) {
  std::string ext = fs::path(path).extension().string();
  if (!ext.empty() && ext.front() == '.') ext.erase(0, 1);
  return ext;
}

void runOnMain(std::function<void()> task) { qv::mainQueue()->async(std::move(task)); }

// The cloud copy leaves the camera normal behind; a saved copy must keep the capture geometry
// whole. Clouds are matched by their lookup id, which the copy keeps.
void copyCameraNormals(const QVSDScanObject& from, QVSDScanObject& to) {
  const auto sources = from.pointClouds();
  for (const auto& target : to.pointClouds())
    for (const auto& source : sources)
      if (source->lookupId() == target->lookupId()) {
        target->setCameraNormalX(source->cameraNormalX());
        target->setCameraNormalY(source->cameraNormalY());
        target->setCameraNormalZ(source->cameraNormalZ());
        break;
      }
}

}  // namespace

std::shared_ptr<QVLObjectSceneViewController> QVLObjectSceneViewController::create(Options options) {
  auto controller = std::shared_ptr<QVLObjectSceneViewController>(new QVLObjectSceneViewController(std::move(options)));
  controller->resetScene();
  // The point size and smoothing follow their settings whenever either changes.
  auto weak = std::weak_ptr<QVLObjectSceneViewController>(controller);
  controller->settings().addChangeListener([weak](const std::string& key) {
    if (key != kSmoothingKey && key != kPointSizeKey) return;
    runOnMain([weak] {
      if (auto self = weak.lock()) self->adjustPixelSize();
    });
  });
  return controller;
}

std::shared_ptr<QVLObjectSceneViewController> QVLObjectSceneViewController::create() { return create(Options{}); }

QVLObjectSceneViewController::QVLObjectSceneViewController(Options options)
    : options_(std::move(options)), pointManagementQueue_(qv::makeSerialQueue("com.quorvel.PointManagementQueue")),
      loadQueue_(qv::makeSerialQueue("com.quorvel.ViewerLoadQueue")) {}

// The settings listener stays registered: it holds the controller only weakly and does nothing
// once it is gone, while the settings store may already be gone when the last background job
// lets go of the controller.
QVLObjectSceneViewController::~QVLObjectSceneViewController() = default;

TBCoreDataStoreS1& QVLObjectSceneViewController::store() const {
  return options_.store ? *options_.store : TBCoreDataStoreS1::defaultStore();
}

qv::Settings& QVLObjectSceneViewController::settings() const {
  return options_.settings ? *options_.settings : qv::Settings::standard();
}

std::optional<qv::ObjectID> QVLObjectSceneViewController::scanObjectId() const {
  std::lock_guard<std::mutex> lock(stateLock_);
  return scanObjectId_;
}

std::string QVLObjectSceneViewController::scanObjectFilePath() const {
  std::lock_guard<std::mutex> lock(stateLock_);
  return scanObjectFilePath_;
}

qv::Double3 QVLObjectSceneViewController::cameraPosition() const {
  std::lock_guard<std::mutex> lock(stateLock_);
  return cameraPosition_;
}

void QVLObjectSceneViewController::setCameraPosition(qv::Double3 position) {
  std::lock_guard<std::mutex> lock(stateLock_);
  cameraPosition_ = position;
}

qv::Double3 QVLObjectSceneViewController::objectsNodeHomePosition() const {
  std::lock_guard<std::mutex> lock(stateLock_);
  return objectsNodeHomePosition_;
}

scene::Colour QVLObjectSceneViewController::backgroundColour() const { return scene_->background(); }

std::string QVLObjectSceneViewController::pointCountLabel() const {
  std::lock_guard<std::mutex> lock(stateLock_);
  return pointCountLabel_;
}

std::vector<QVLLayerState> QVLObjectSceneViewController::layerStates() const {
  std::lock_guard<std::mutex> lock(stateLock_);
  return layerStates_;
}

scene::NodePtr QVLObjectSceneViewController::objectsNode() const {
  std::lock_guard<std::recursive_mutex> lock(scene::sceneLock());
  return objectsNode_;
}
scene::NodePtr QVLObjectSceneViewController::objectNode() const {
  std::lock_guard<std::recursive_mutex> lock(scene::sceneLock());
  return objectNode_;
}
scene::NodePtr QVLObjectSceneViewController::selectedObjectNode() const {
  std::lock_guard<std::recursive_mutex> lock(scene::sceneLock());
  return selectedObjectNode_;
}
scene::NodePtr QVLObjectSceneViewController::normalRenderObject() const {
  std::lock_guard<std::recursive_mutex> lock(scene::sceneLock());
  return normalRenderObject_;
}
scene::NodePtr QVLObjectSceneViewController::cameraNode() const {
  std::lock_guard<std::recursive_mutex> lock(scene::sceneLock());
  return cameraNode_;
}

void QVLObjectSceneViewController::withRecords(
    const std::function<void(std::vector<QVLSortableIndexEntry>&, const qv::viewer::SortOrders&,
                             const std::vector<std::uint32_t>&)>& code) {
  pointManagementQueue_->sync([&] { code(sortableIndexData_, orders_, vertexIndexData_); });
}

// ---------------------------------------------------------------------------------------------
// Loading

void QVLObjectSceneViewController::loadScan(std::optional<qv::ObjectID> id) {
  {
    std::lock_guard<std::mutex> lock(stateLock_);
    if (id != scanObjectId_) {
      scanObjectId_ = id;
      pcdFilePath_.clear();
    }
  }
  // Asking again (the same scan or another) supersedes a load still waiting or running.
  const std::uint64_t load = ++loadNumber_;
  isDoneLoading_ = false;
  isRendering_ = false;
  shouldReturnHome_ = false;
  isPresentingMeshedObject_ = false;
  updateButtons();
  if (!id) return;
  resetScene();

  auto weak = weak_from_this();
  const qv::ObjectID target = *id;
  qv::after(qv::seconds(0.3), qv::mainQueue(), [weak, target, load] {
    auto self = weak.lock();
    if (!self || self->loadNumber_ != load) return;  // another load was asked for meanwhile
    auto start = [weak, target, load, queue = self->loadQueue_] {
      const qv::TimePoint shownAt = qv::now();
      queue->async([weak, target, load, shownAt] {
        if (auto self = weak.lock()) self->loadOnBackgroundQueue(target, load, shownAt);
      });
    };
    if (self->display_)
      self->display_->showBusyView("Loading Scan...", start);
    else
      start();
  });
}

void QVLObjectSceneViewController::loadOnBackgroundQueue(qv::ObjectID id, std::uint64_t load,
                                                         qv::TimePoint busyShownAt) {
  // A newer load waits behind this one and takes the busy view down itself.
  if (loadNumber_ != load || scanObjectId() != id) return;
  isRendering_ = true;

  qv::SharedData vertexData;
  qv::SharedData records, byY, byRadius, byNeighbour;
  std::vector<qv::SharedData> referenceArray;
  std::vector<QVLLayerState> layers;
  std::optional<scene::Colour> background;
  float pitch = 0, yaw = 0;
  qv::Double3 camera;
  bool found = false, hasTextures = false, hasSlices = false;
  std::string sourcePath;

  store().privateContext()->performAndWait([&] {
    auto scan = QVSDScanObject::scanObjectWithId(id, false, *store().privateContext());
    if (!scan) return;
    found = true;
    sourcePath = scan->sourceFilePath().value_or("");
    QVLogInfo("Loading scan: %s", sourcePath.c_str());
    vertexData = scan->unsavedVertexData();
    if (!vertexData || vertexData->empty()) vertexData = scan->vertexData();
    records = scan->sortableIndexData();
    byY = scan->sortableIndexReferenceForYPositionData();
    byRadius = scan->sortableIndexReferenceForRadiusData();
    byNeighbour = scan->sortableIndexReferenceForNeighbourData();
    auto clouds = scan->pointClouds();
    for (const auto& cloud : clouds)
      if (auto list = cloud->vertexIndexData(); list && !list->empty()) referenceArray.push_back(list);
    pitch = static_cast<float>(scan->pitchAngle().value_or(0));
    yaw = static_cast<float>(scan->yawAngle().value_or(0));
    camera = scan->cameraPosition();
    background = colourFromValue(scan->backgroundColour());
    if (!background) background = colourFromValue(settings().objectForKey(kDefaultColourKey));
    if (!background) background = scene::Colour{0.9f, 0.9f, 0.9f, 1.0f};
    hasTextures = !scan->textures().empty();
    hasSlices = !scan->scanSlices().empty();
    std::stable_sort(clouds.begin(), clouds.end(), [](const auto& a, const auto& b) {
      const double ha = a->headHeight().value_or(0), hb = b->headHeight().value_or(0);
      if (ha != hb) return ha < hb;
      return a->laserNumber().value_or(0) < b->laserNumber().value_or(0);
    });
    for (std::size_t i = 0; i < clouds.size(); ++i) {
      QVLLayerState layer;
      layer.isEnabled = true;
      layer.cloudId = static_cast<std::int16_t>(clouds[i]->lookupId().value_or(0));
      layer.layerNumber = static_cast<std::int32_t>(i + 1);
      layer.headHeight = static_cast<float>(clouds[i]->headHeight().value_or(0));
      layers.push_back(layer);
    }
  });

  if (!found || !vertexData) {
    QVLogWarn("Could not render object %s. Aborting render.", id.stringRepresentation().c_str());
    isRendering_ = false;
    failLoading(load, found ? "The scan holds no point data." : "The scan could not be found.");
    return;
  }

  {
    std::lock_guard<std::mutex> lock(stateLock_);
    scanObjectFilePath_ = sourcePath;
    layerStates_ = std::move(layers);
    cameraPosition_ = qv::viewer::usableCameraPosition(camera);
  }
  // A scan never shown has no camera of its own: its first view is chosen to show all of it.
  const bool fitFirstView = !(qv::viewer::usableCameraPosition(camera) == camera);
  pitchAngle_ = qv::viewer::clampPitch(pitch);
  yawAngle_ = yaw;
  modelHasTextures_ = hasTextures;
  modelHasSlices_ = hasSlices;
  backgroundColour_ = *background;
  scene_->setBackground(*background);

  pointManagementQueue_->sync([&] {
    vertexData_ = vertexData;
    vertexBuffer_.reset();
    sortableIndexData_ = qv::viewer::fromData<QVLSortableIndexEntry>(records);
    sortableIndexDataBackup_ = sortableIndexData_;
    orders_.byY = qv::viewer::OrderList(byY);
    orders_.byRadius = qv::viewer::OrderList(byRadius);
    orders_.byNeighbour = qv::viewer::OrderList(byNeighbour);
    neighbourOrderIsPermutation_ = qv::viewer::isPermutation(orders_.byNeighbour, sortableIndexData_.size());
    vertexReferenceArray_ = std::move(referenceArray);
    vertexIndexData_.clear();
  });
  // The search cloud and its octree are for the brush alone: built beside the drawing.
  std::thread octree([this, vertices = vertexData] { searchCloud_.rebuild(qv::viewer::verticesOf(vertices)); });

  runOnMain([weak = weak_from_this(), colour = *background] {
    auto self = weak.lock();
    if (!self || !self->display_) return;
    self->display_->setBackgroundColour(colour);
    self->display_->setNeedsDisplay();
  });

  renderScanObject();
  if (fitFirstView) fitCameraToDrawnPoints();
  updateObjectTransform();
  adjustPixelSize();
  octree.join();
  isRendering_ = false;

  // Keep the display records with the scan so the next load reuses them (when they were made
  // now: records read from the scan are there already).
  qv::SharedData storedRecords;
  qv::viewer::SortOrders storedOrders;
  bool changed = false;
  pointManagementQueue_->sync([&] {
    changed = recordsChanged_;
    recordsChanged_ = false;
    if (!changed) return;
    storedRecords = qv::viewer::toData(sortableIndexData_);
    storedOrders = orders_;
  });
  // Written behind the load: the user need not wait for it. Every later write of these
  // attributes by the viewer goes through the same private context, so it lands after this one.
  if (changed) {
    auto context = store().privateContext();
    context->perform([context, id, storedRecords, storedOrders] {
      auto scan = QVSDScanObject::scanObjectWithId(id, false, *context);
      if (!scan) return;
      scan->setSortableIndexData(storedRecords);
      scan->setSortableIndexReferenceForYPositionData(storedOrders.byY.bytes());
      scan->setSortableIndexReferenceForRadiusData(storedOrders.byRadius.bytes());
      scan->setSortableIndexReferenceForNeighbourData(storedOrders.byNeighbour.bytes());
      qv::Error error;
      if (!context->save(&error)) QVLogWarn("Could not keep the display records: %s", error.description.c_str());
    });
  }
  finishLoading(load, busyShownAt);
}

void QVLObjectSceneViewController::fitCameraToDrawnPoints() {
  const float w = display_ ? display_->viewWidth() : 0, h = display_ ? display_->viewHeight() : 0;
  qv::viewer::FirstViewFit fit(w > 0 && h > 0 ? static_cast<double>(w) / h : 1.0);
  const qv::Double3 home = objectsNodeHomePosition();
  const double yaw = yawAngle_, c = std::cos(yaw), s = std::sin(yaw);
  pointManagementQueue_->sync([&] {
    const auto vertices = qv::viewer::verticesOf(vertexData_);
    const std::size_t drawn = std::min<std::size_t>(numberOfFilteredVertices_, vertexIndexData_.size());
    fit.reserve(drawn);
    for (std::size_t i = 0; i < drawn; ++i) {
      if (vertexIndexData_[i] >= vertices.size()) continue;
      const QVLScanVertex& v = vertices[vertexIndexData_[i]];
      const double x = v.point3DX + home.x, y = v.point3DY + home.y, z = v.point3DZ + home.z;
      // The yaw turns the object about the vertical axis (a turn by a about y).
      fit.add(c * x + s * z, y, -s * x + c * z);
    }
  });
  setCameraPosition({0, 0, fit.distance()});
  shouldUpdateCameraDistance_ = true;
}

void QVLObjectSceneViewController::finishLoading(std::uint64_t load, qv::TimePoint busyShownAt) {
  if (loadNumber_ != load) return;  // superseded while drawing: the newer load finishes instead
  auto weak = weak_from_this();
  if (shouldReturnHome_) {
    runOnMain([weak] {
      if (auto self = weak.lock()) self->closeSceneAndReturnHome();
    });
  } else {
    isDoneLoading_ = true;
  }
  // The busy view stays at least one second, so a quick load does not flash.
  const double elapsed = qv::toSeconds(qv::now() - busyShownAt);
  qv::after(qv::seconds(std::max(0.0, 1.0 - elapsed)), qv::mainQueue(), [weak] {
    auto self = weak.lock();
    if (!self) return;
    auto done = [weak] {
      auto self = weak.lock();
      if (!self) return;
      self->updateButtons();
      self->updateWindowTitleForScanObject();
      if (self->display_) self->display_->setHeaderBlocked(false);
    };
    if (self->display_)
      self->display_->dismissBusyView(done);
    else
      done();
  });
}

void QVLObjectSceneViewController::failLoading(std::uint64_t load, const std::string& reason) {
  if (loadNumber_ != load) return;
  // Without this the busy view would stay up for good: say what happened and go back home.
  runOnMain([weak = weak_from_this(), reason] {
    auto self = weak.lock();
    if (!self) return;
    auto home = [weak] {
      if (auto self = weak.lock()) self->closeSceneAndReturnHome();
    };
    if (!self->display_) return home();
    self->display_->dismissBusyView([weak, reason, home] {
      auto self = weak.lock();
      if (!self || !self->display_) return;
      self->display_->showAlert("The scan could not be opened", reason, home);
    });
  });
}

// ---------------------------------------------------------------------------------------------
// Drawing

scene::VertexBufferPtr QVLObjectSceneViewController::vertexBuffer() {
  if (!vertexBuffer_ && vertexData_) vertexBuffer_ = std::make_shared<scene::VertexBuffer>(scene::VertexBuffer{vertexData_});
  return vertexBuffer_;
}

qv::Double3 QVLObjectSceneViewController::homePositionOrPrevious(const std::optional<qv::Double3>& home) {
  std::lock_guard<std::mutex> lock(stateLock_);
  // With nothing drawn the mean is undefined; the object keeps its place.
  if (home) objectsNodeHomePosition_ = *home;
  return objectsNodeHomePosition_;
}

void QVLObjectSceneViewController::renderScanObject() {
  float minY = 0, maxY = 0, maxRadiusSquared = 0;
  std::uint64_t drawn = 0, present = 0;
  pointManagementQueue_->sync([&] {
    const auto vertices = qv::viewer::verticesOf(vertexData_);
    const std::size_t n = vertices.size();
    if (sortableIndexData_.size() != n) {
      recordsChanged_ = true;
      sortableIndexData_ = qv::viewer::buildSortableIndexEntries(vertices, vertexReferenceArray_);
      sortableIndexDataBackup_ = sortableIndexData_;
      orders_ = {};
    }
    if (!sortableIndexData_.empty() &&
        (orders_.byY.size() != n || orders_.byRadius.size() != n || orders_.byNeighbour.size() != n)) {
      recordsChanged_ = true;
      orders_ = qv::viewer::computeSortOrders(sortableIndexData_);
      neighbourOrderIsPermutation_ = true;
      qv::viewer::applyDisplayCap(sortableIndexData_, orders_.byNeighbour);
    }
    const bool hasClouds = !vertexReferenceArray_.empty();
    if (vertexIndexData_.empty()) {
      qv::viewer::DrawnList list = qv::viewer::collectDrawnVertices(vertices, sortableIndexData_, hasClouds);
      {
        std::lock_guard<std::mutex> lock(stateLock_);
        for (QVLLayerState& layer : layerStates_) {
          const auto count = static_cast<std::int32_t>(list.cloudCounts[static_cast<std::uint16_t>(layer.cloudId)]);
          layer.numberOfPoints = layer.numberOfVisiblePoints = count;
        }
      }
      vertexIndexData_ = std::move(list.indices);
      numberOfFilteredVertices_ = list.drawnCount;
      numberOfSelectedVertices_ = 0;
      homePositionOrPrevious(list.homePosition);
      if (list.drawnCount > 0) {
        minY = list.minY;
        maxY = list.maxY;
        maxRadiusSquared = list.maxRadiusSquared;
      }
      present = list.presentCount;
    } else {
      minY = minYValue_;
      maxY = maxYValue_;
      maxRadiusSquared = maxRadiusValue_ * maxRadiusValue_;
      present = 0;
      for (const QVLScanVertex& v : vertices) present += qv::viewer::isAtOrigin(v) ? 0 : 1;
    }
    numberOfPresentVertices_ = present;
    drawn = numberOfFilteredVertices_;

    auto front = std::make_shared<std::vector<std::uint32_t>>(vertexIndexData_.begin(),
                                                              vertexIndexData_.begin() + static_cast<std::ptrdiff_t>(drawn));
    replaceObjectNode(renderPointsForIndices(front), false);
    buildNormalLines();
  });
  adjustPixelSize();

  qv::mainQueue()->sync([&] {
    applyCropRanges(minY, maxY, maxRadiusSquared);
    const std::string label = qv::viewer::pointCountLabel(drawn, present);
    {
      std::lock_guard<std::mutex> lock(stateLock_);
      pointCountLabel_ = label;
    }
    if (display_) {
      display_->setPointCountLabel(label);
      display_->reloadLayerTable();
      display_->setNeedsDisplay();
    }
  });
}

void QVLObjectSceneViewController::applyCropRanges(float minY, float maxY, float maxRadiusSquared) {
  croppingIsDisabled_ = true;
  minYValue_ = std::floor(minY * 10.0f) / 10.0f;
  maxYValue_ = maxY;
  // The square of the root can come out just below the largest radius squared, and the crop
  // would then hide the outermost points: step up to the first float that keeps them.
  float radius = std::sqrt(maxRadiusSquared);
  while (radius * radius < maxRadiusSquared) radius = std::nextafter(radius, INFINITY);
  minRadiusValue_ = 0;
  maxRadiusValue_ = radius;
  // The values themselves are the exact bounds: rounded to 0.1 as the text field shows them,
  // the topmost or outermost points would fall outside the first crop.
  yCutOff_ = minY;
  topYCutOff_ = maxY;
  radiusCutOff_ = radius;
  croppingIsDisabled_ = false;
}

void QVLObjectSceneViewController::buildNormalLines() {
  std::lock_guard<std::recursive_mutex> lock(scene::sceneLock());
  if (normalRenderObject_) normalRenderObject_->removeFromParent();
  normalRenderObject_.reset();
  if (!settings().boolForKey(kNormalsKey)) return;
  const auto vertices = qv::viewer::verticesOf(vertexData_);
  const std::size_t n = vertices.size();
  const bool hasClouds = !vertexReferenceArray_.empty();
  auto lines = std::make_shared<qv::Data>(2 * n * sizeof(QVLScanVertex), 0);
  auto indices = std::make_shared<std::vector<std::uint32_t>>(2 * n, 0);
  auto* slots = reinterpret_cast<QVLScanVertex*>(lines->data());
  std::size_t counted = 0, pairs = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint16_t flags = sortableIndexData_[i].flags;
    if (!qv::viewer::isDrawnFlags(flags, hasClouds)) continue;
    if (++counted % 50 == 0) {
      QVLScanVertex a{}, b{};
      const QVLScanVertex& v = vertices[i];
      a.point3DX = v.point3DX;
      a.point3DY = v.point3DY;
      a.point3DZ = v.point3DZ;
      a.normalX = b.normalX = v.normalX;
      a.normalY = b.normalY = v.normalY;
      a.normalZ = b.normalZ = v.normalZ;
      a.colourRed = b.colourRed = 1.0f;
      b.point3DX = v.point3DX + v.normalX;
      b.point3DY = v.point3DY + v.normalY;
      b.point3DZ = v.point3DZ + v.normalZ;
      slots[2 * i] = a;
      slots[2 * i + 1] = b;
    }
    if (!qv::viewer::isAtOrigin(vertices[i])) {
      (*indices)[2 * pairs] = static_cast<std::uint32_t>(2 * i);
      (*indices)[2 * pairs + 1] = static_cast<std::uint32_t>(2 * i + 1);
      ++pairs;
    }
  }
  scene::Material white;
  white.diffuse = scene::Colour{1, 1, 1, 1};
  white.lighting = scene::LightingModel::Constant;
  // The vertices' own red shows; the zero slots collapse to nothing.
  white.diffuse.reset();
  auto node = renderVertices(lines, indices, 2 * n, white, static_cast<int>(scene::PrimitiveType::Lines), nullptr);
  if (node) {
    objectsNode_->addChild(node);
    normalRenderObject_ = node;
  }
}

void QVLObjectSceneViewController::replaceObjectNode(const scene::NodePtr& node, bool keepTransform) {
  std::lock_guard<std::recursive_mutex> lock(scene::sceneLock());
  if (objectNode_) {
    if (keepTransform && node) node->setTransform(objectNode_->transform());
    objectNode_->removeFromParent();
  }
  objectNode_ = node;
  if (node) objectsNode_->addChild(node);
}

void QVLObjectSceneViewController::replaceSelectedNode(const scene::NodePtr& node) {
  std::lock_guard<std::recursive_mutex> lock(scene::sceneLock());
  if (!node) {
    if (selectedObjectNode_) selectedObjectNode_->removeFromParent();
    selectedObjectNode_.reset();
    return;
  }
  if (selectedObjectNode_) {
    node->setTransform(selectedObjectNode_->transform());
    selectedObjectNode_->removeFromParent();
  } else if (objectNode_) {
    node->setTransform(objectNode_->transform());
  }
  selectedObjectNode_ = node;
  objectsNode_->addChild(node);
}

void QVLObjectSceneViewController::renderCroppedNodes(std::function<void()> completion) {
  if (!objectNode() || croppingIsDisabled_.exchange(true)) return;
  auto self = shared_from_this();
  pointManagementQueue_->async([self, completion = std::move(completion)] {
    float top = -kQVLFloatMax, bottom = kQVLFloatMax, radius = -kQVLFloatMax;
    // Values changed while a pass runs are drawn by the next turn; requests meanwhile are dropped.
    for (;;) {
      const float t = self->topYCutOff_, b = self->yCutOff_, r = self->radiusCutOff_;
      if (t == top && b == bottom && r == radius) break;
      top = t;
      bottom = b;
      radius = r;
      self->renderCroppedNodesWithTopYCutoff(top, bottom, radius);
    }
    if (completion) completion();
    self->croppingIsDisabled_ = false;
    // A change that came between the last comparison and the line above was dropped by the
    // guard; draw it now rather than lose it.
    if (self->topYCutOff_ != top || self->yCutOff_ != bottom || self->radiusCutOff_ != radius)
      runOnMain([self] { self->renderCroppedNodes(); });
  });
}

void QVLObjectSceneViewController::renderCroppedNodesWithTopYCutoff(float top, float bottom, float radius) {
  if (orders_.byNeighbour.empty()) return;
  const auto visibility = [&] {
    std::lock_guard<std::mutex> lock(stateLock_);
    return std::make_unique<qv::viewer::LayerVisibility>(qv::viewer::LayerVisibility::fromLayers(layerStates_));
  }();
  std::size_t outOfRange = 0;
  qv::viewer::DrawnList list = qv::viewer::cropAndCollect(
      qv::viewer::verticesOf(vertexData_), sortableIndexData_, orders_.byNeighbour, top, bottom, radius, *visibility,
      neighbourOrderIsPermutation_, !vertexReferenceArray_.empty(), &outOfRange);
  if (outOfRange > 0) QVLogWarn("Out of range!");
  vertexIndexData_ = std::move(list.indices);
  numberOfFilteredVertices_ = list.drawnCount;
  numberOfSelectedVertices_ = list.selectedCount;
  homePositionOrPrevious(list.homePosition);
  QVLogInfo("Rendering %lu vertices with %lu selected", static_cast<unsigned long>(list.drawnCount),
            static_cast<unsigned long>(list.selectedCount));

  auto front = std::make_shared<std::vector<std::uint32_t>>(
      vertexIndexData_.begin(), vertexIndexData_.begin() + static_cast<std::ptrdiff_t>(list.drawnCount));
  replaceObjectNode(renderPointsForIndices(front), true);
  if (list.selectedCount > 0) {
    auto back = std::make_shared<std::vector<std::uint32_t>>(
        vertexIndexData_.end() - static_cast<std::ptrdiff_t>(list.selectedCount), vertexIndexData_.end());
    scene::Material red;
    red.diffuse = scene::Colour{1, 0, 0, 1};
    red.emission = scene::Colour{1, 0, 0, 1};
    replaceSelectedNode(renderVertices(vertexData_, back, back->size(), red,
                                       static_cast<int>(scene::PrimitiveType::Points), nullptr));
  } else {
    replaceSelectedNode(nullptr);
  }
  numberOfPresentVertices_ = list.presentCount;
  // The label follows what is drawn, not only what the load drew.
  const std::string label = qv::viewer::pointCountLabel(list.drawnCount, list.presentCount);
  {
    std::lock_guard<std::mutex> lock(stateLock_);
    pointCountLabel_ = label;
  }
  runOnMain([weak = weak_from_this(), label] {
    auto self = weak.lock();
    if (!self || !self->display_) return;
    self->display_->setPointCountLabel(label);
    self->display_->setNeedsDisplay();
  });
}

scene::NodePtr QVLObjectSceneViewController::renderPointsForIndices(const scene::IndexBufferPtr& indices) {
  if (!vertexData_ || !indices) return nullptr;
  auto geometry = std::make_shared<scene::Geometry>();
  geometry->vertices = vertexBuffer();
  geometry->indices = indices;
  geometry->elementCount = indices->size();
  geometry->primitive = scene::PrimitiveType::Points;
  geometry->material.lighting = scene::LightingModel::Constant;
  auto node = scene::Node::make("object");
  node->setGeometry(geometry);
  const qv::Double3 home = objectsNodeHomePosition();
  node->setPosition({static_cast<float>(home.x), static_cast<float>(home.y), static_cast<float>(home.z)});
  return node;
}

scene::NodePtr QVLObjectSceneViewController::renderVertices(const qv::SharedData& vertices,
                                                            const scene::IndexBufferPtr& indices,
                                                            std::size_t numberOfIndices,
                                                            std::optional<scene::Material> material, int primitiveType,
                                                            std::shared_ptr<const scene::Image> texture,
                                                            std::shared_ptr<const std::vector<double>> textureCoordinates) {
  if (!indices || indices->size() < numberOfIndices || !vertices) return nullptr;
  if (primitiveType < 0 || primitiveType > 3) return nullptr;
  auto geometry = std::make_shared<scene::Geometry>();
  // A fresh buffer of its own: these vertices are not the scan's cached buffer.
  geometry->vertices = std::make_shared<scene::VertexBuffer>(scene::VertexBuffer{vertices});
  geometry->indices = indices;
  geometry->elementCount = numberOfIndices;
  geometry->primitive = static_cast<scene::PrimitiveType>(primitiveType);
  if (material) geometry->material = *material;
  if (texture) {
    geometry->material.texture = texture;
    if (geometry->primitive == scene::PrimitiveType::Triangles) geometry->textureCoordinates = std::move(textureCoordinates);
  }
  auto node = scene::Node::make("geometry");
  node->setGeometry(geometry);
  const qv::Double3 home = objectsNodeHomePosition();
  node->setPosition({static_cast<float>(home.x), static_cast<float>(home.y), static_cast<float>(home.z)});
  return node;
}

scene::NodePtr QVLObjectSceneViewController::addCoordinateLinesToNode(const scene::NodePtr& parent, double length) {
  const float l = static_cast<float>(length);
  std::vector<QVLScanVertex> lines(6);
  lines[1].point3DX = l;
  lines[3].point3DY = l;
  lines[5].point3DZ = l;
  auto bytes = std::make_shared<qv::Data>(6 * sizeof(QVLScanVertex));
  std::memcpy(bytes->data(), lines.data(), bytes->size());
  auto indices = std::make_shared<std::vector<std::uint32_t>>(std::vector<std::uint32_t>{0, 1, 2, 3, 4, 5});
  scene::Material lambert;
  lambert.lighting = scene::LightingModel::Lambert;
  auto node = renderVertices(bytes, indices, 6, lambert, static_cast<int>(scene::PrimitiveType::Lines), nullptr);
  if (node && parent) {
    node->setPosition({0, 0, 0});
    parent->addChild(node);
  }
  return node;
}

// ---------------------------------------------------------------------------------------------
// Scene and navigation

void QVLObjectSceneViewController::resetScene() {
  {
    std::lock_guard<std::mutex> lock(stateLock_);
    pointCountLabel_.clear();
  }
  auto newScene = std::make_shared<scene::Scene>();
  auto objects = scene::Node::make("objects");
  newScene->rootNode()->addChild(objects);
  auto camera = scene::Node::make("camera");
  camera->setCamera(scene::Camera{60.0f, 0.1f, 600.0f});
  renderedYawAngle_ = 0;
  renderedPitchAngle_ = 0;
  setCameraPosition(qv::viewer::kHomeCameraPosition);
  camera->setPosition({0, 0, 100});
  newScene->rootNode()->addChild(camera);
  newScene->setPointOfView(camera);
  const auto light = [&](scene::Light::Kind kind, float white, scene::Vec3 at) {
    auto node = scene::Node::make("light");
    node->setLight(scene::Light{kind, {white, white, white, 1}});
    node->setPosition(at);
    newScene->rootNode()->addChild(node);
  };
  light(scene::Light::Kind::Omni, 0.3f, {100, 40, 300});
  light(scene::Light::Kind::Omni, 0.6f, {-100, 0, 300});
  light(scene::Light::Kind::Ambient, 0.6f, {0, 0, 0});
  newScene->setBackground(backgroundColour_);
  {
    std::lock_guard<std::recursive_mutex> lock(scene::sceneLock());
    scene_ = newScene;
    objectsNode_ = objects;
    cameraNode_ = camera;
    objectNode_.reset();
    selectedObjectNode_.reset();
    normalRenderObject_.reset();
  }
  // Queued, not waited for: a crop pass may be running, and the next load's point work queues
  // behind this anyway.
  pointManagementQueue_->async([weak = weak_from_this()] {
    auto self = weak.lock();
    if (!self) return;
    self->vertexData_.reset();
    self->vertexBuffer_.reset();
    self->vertexIndexData_.clear();
    self->sortableIndexData_.clear();
    self->sortableIndexDataBackup_.clear();
    self->orders_ = {};
  });
  projectionIsComplete_ = false;
  brushCleaningState_ = 0;
  cleaningBrushSize_ = 10;
  if (display_) {
    display_->setPointCountLabel("");
    display_->setHeaderBlocked(true);
    display_->setHomeButtonEnabled(true);
    display_->setNeedsDisplay();
  }
  adjustPixelSize();
}

void QVLObjectSceneViewController::setPitchAngle(float pitch) { pitchAngle_ = qv::viewer::clampPitch(pitch); }

void QVLObjectSceneViewController::updateObjectTransform() {
  const float yaw = yawAngle_, pitch = pitchAngle_;
  auto objects = objectsNode(), camera = cameraNode();
  if (std::fabs(static_cast<double>(yaw) - renderedYawAngle_) > qv::viewer::kAngleThreshold) {
    renderedYawAngle_ = yaw;
    if (objects) objects->setRotation({0, 1, 0}, yaw);
  }
  if (std::fabs(static_cast<double>(pitch) - renderedPitchAngle_) <= qv::viewer::kAngleThreshold &&
      !shouldUpdateCameraDistance_)
    return;
  renderedPitchAngle_ = pitch;
  if (camera) camera->setTransform(qv::viewer::cameraTransform(pitch, cameraPosition()));
  shouldUpdateCameraDistance_ = false;
  if (display_ && qv::isMainQueue()) display_->setNeedsDisplay();
}

void QVLObjectSceneViewController::adjustPixelSize() {
  const auto camera = cameraNode();
  const float distance = camera ? scene::length(camera->position()) : 100.0f;
  const double scale = display_ && qv::isMainQueue() ? display_->backingScale() : 1.0;
  pointSize_ = qv::viewer::pointSizeForSetting(settings().integerForKey(kPointSizeKey), distance, scale);
  const bool smoothing = settings().boolForKey(kSmoothingKey);
  if (display_ && qv::isMainQueue()) display_->setPointRendering(pointSize_, smoothing);
  else
    runOnMain([weak = weak_from_this(), smoothing] {
      auto self = weak.lock();
      if (!self || !self->display_) return;
      const auto camera = self->cameraNode();
      const float d = camera ? scene::length(camera->position()) : 100.0f;
      self->pointSize_ = qv::viewer::pointSizeForSetting(self->settings().integerForKey(kPointSizeKey), d,
                                                         self->display_->backingScale());
      self->display_->setPointRendering(self->pointSize_, smoothing);
    });
}

void QVLObjectSceneViewController::queueReprojection() { projectUntilDone(false, true); }

void QVLObjectSceneViewController::panTheObject(double dx, double dy) {
  setCameraPosition(qv::viewer::pannedCameraPosition(cameraPosition(), dx, dy));
  shouldUpdateCameraDistance_ = true;
  updateObjectTransform();
  if (brushCleaningState_ >= 1 && brushCleaningState_ <= 6) queueReprojection();
}

void QVLObjectSceneViewController::mouseDown(float x, float y) {
  if (display_) display_->closeExportPopover();
  const int state = brushCleaningState_;
  if (state == 0 || state == 1 || state == 5) {
    isDragging_ = true;
  } else if (state == 3 || state == 4) {
    // The stroke is claimed before its first point is painted: a projection pass ending now
    // resolves what a stroke left behind when it finds the brush ready (state 3), and must not
    // take this stroke's first dab for such a leftover. A press that finds the state changed
    // meanwhile (a leftover being resolved) paints nothing.
    int ready = 3;
    if (state == 4 || brushCleaningState_.compare_exchange_strong(ready, 4)) paintBrushPoint(x, y);
  }
}

void QVLObjectSceneViewController::mouseDragged(float x, float y, float dx, float dy, QVLModifiers m) {
  const int state = brushCleaningState_;
  if ((state == 0 || state == 1 || state == 5) && isDragging_) {
    const float w = display_ ? std::max(1.0f, display_->viewWidth()) : 1.0f;
    const float h = display_ ? std::max(1.0f, display_->viewHeight()) : 1.0f;
    constexpr float pi = 3.14159265358979f;
    const bool onlyShift = m.shift && !m.control && !m.option && !m.command;
    const bool onlyControl = m.control && !m.shift && !m.option && !m.command;
    const bool onlyOption = m.option && !m.shift && !m.control && !m.command;
    if (onlyShift) {
      yawAngle_ = yawAngle_ + dx / w * pi;
    } else if (onlyControl) {
      setPitchAngle(pitchAngle_ + dy / h * pi);
    } else if (onlyOption) {
      panTheObject(dx, dy);
    } else {
      setPitchAngle(pitchAngle_ + dy / h * pi);
      yawAngle_ = yawAngle_ + dx / w * pi;
    }
    updateObjectTransform();
  }
  if (state == 3 || state == 4) paintBrushPoint(x, y);
  if (state == 1 || state == 5) queueReprojection();
}

void QVLObjectSceneViewController::mouseUp(QVLModifiers m) {
  const int state = brushCleaningState_;
  if (state == 0 || state == 1 || state == 5) isDragging_ = false;
  if (state == 4) {
    ++strokesEnded_;
    brushCleaningAction_ = m.shift ? 1 : m.control ? 3 : 2;
    // The projection pass resolves the stroke once it completes (state 2). A pass that completed
    // just now may have looked at the state before this stroke ended: the projection then reads
    // complete here, and whichever of the two claims the stroke first resolves it.
    brushCleaningState_ = 2;
    int waiting = 2;
    if (projectionIsComplete_ && brushCleaningState_.compare_exchange_strong(waiting, 6))
      pointManagementQueue_->async([self = shared_from_this()] { self->resolveStroke(); });
  }
  if (state == 5) queueReprojection();
}

void QVLObjectSceneViewController::scrollWheel(double dy) {
  const auto camera = cameraNode();
  const float distance = camera ? scene::length(camera->position()) : 0.0f;
  setCameraPosition(qv::viewer::zoomedCameraPosition(cameraPosition(), distance, dy));
  shouldUpdateCameraDistance_ = true;
  updateObjectTransform();
  adjustPixelSize();
  if (brushCleaningState_ >= 1 && brushCleaningState_ <= 6) queueReprojection();
}

bool QVLObjectSceneViewController::keyDown(const std::string& characters, QVLModifiers m) {
  if (characters == "c" || (characters == "C" && m.shift)) {
    pitchAngle_ = 0;
    yawAngle_ = 0;
    if (m.shift) {
      if (auto objects = objectsNode()) objects->setTransform(scene::Mat4::identity());
      renderedYawAngle_ = 0;
      setCameraPosition(qv::viewer::kHomeCameraPosition);
    }
    shouldUpdateCameraDistance_ = true;
    updateObjectTransform();
    if (m.shift) adjustPixelSize();
    return true;
  }
  const int state = brushCleaningState_;
  if (state >= 3 && state <= 5) {
    if (characters == " ") {
      brushCleaningState_ = 5;
      updateBrushCursor();
      return true;
    }
    if (characters == "]") {
      cleaningBrushSize_ = std::min<std::uint64_t>(cleaningBrushSize_ + 1, 40);
      updateBrushCursor();
      return true;
    }
    if (characters == "[") {
      cleaningBrushSize_ = std::max<std::uint64_t>(cleaningBrushSize_ - 1, 5);
      updateBrushCursor();
      return true;
    }
  }
  QVLogDebug("Key pressed: '%s'", characters.c_str());
  return false;
}

bool QVLObjectSceneViewController::keyUp(int keyCode) {
  constexpr int kSpaceBar = 49;
  if (keyCode == kSpaceBar && brushCleaningState_ == 5) {
    brushCleaningState_ = 3;
    updateBrushCursor();
    return true;
  }
  return false;
}

void QVLObjectSceneViewController::flagsChanged(QVLModifiers m) {
  const int action = m.shift ? 1 : m.control ? 3 : 2;
  const int before = brushCleaningAction_.exchange(action);
  if (before != action && (brushCleaningState_ == 3 || brushCleaningState_ == 4)) updateBrushCursor();
}

void QVLObjectSceneViewController::didRenderScene() {
  int expected = 6;
  if (!brushCleaningState_.compare_exchange_strong(expected, 3)) return;
  runOnMain([weak = weak_from_this()] {
    auto self = weak.lock();
    if (self && self->display_) self->display_->setBrushStroke({}, 0);
  });
}

qv::viewer::ViewSnapshot QVLObjectSceneViewController::viewSnapshot() const {
  std::lock_guard<std::recursive_mutex> lock(scene::sceneLock());
  const float w = display_ ? display_->viewWidth() : 0, h = display_ ? display_->viewHeight() : 0;
  return qv::viewer::takeViewSnapshot(*scene_, objectNode_, w, h);
}

qv::viewer::ViewPoint QVLObjectSceneViewController::projectPointX(float x, float y, float z) const {
  return qv::viewer::projectPoint(viewSnapshot(), {x, y, z});
}

void QVLObjectSceneViewController::windowDidResize() {
  projectionIsComplete_ = false;
  queueReprojection();
}

// ---------------------------------------------------------------------------------------------
// Header, panels, menus

bool QVLObjectSceneViewController::headerActionsBlocked() const {
  return delegate_ && delegate_->resetApplicationStateForObjectSceneViewController();
}

void QVLObjectSceneViewController::closeRightPanel(std::function<void()> completion) {
  // Edits left unapplied when a panel closes are dropped: the display records go back to what
  // they were when the panel opened, so nothing stays hidden on screen that exports and saves
  // would still write (or that a save would store as hidden).
  if (rightPanel_ != RightPanel::Closed && !isPresentingMeshedObject_) resetCleaningState();
  rightPanel_ = RightPanel::Closed;
  brushCleaningState_ = 0;
  clearBrushStroke();
  replaceSelectedNode(nullptr);
  if (display_) display_->showRightPanel(RightPanel::Closed);
  if (completion) completion();
}

void QVLObjectSceneViewController::homeButtonPressed() {
  if (headerActionsBlocked() || isApplyingChanges_) return;
  if (display_) {
    display_->closeExportPopover();
    display_->setHomeButtonEnabled(false);
    display_->setHeaderBlocked(true);
  }
  closeAllCleaningPanels([weak = weak_from_this()] {
    auto self = weak.lock();
    if (!self) return;
    self->closeRightPanel([weak] {
      auto self = weak.lock();
      if (!self) return;
      if (self->isRendering_) {
        self->shouldReturnHome_ = true;
        return;
      }
      self->saveAnyUnsavedChanges([weak](bool cancelled) {
        auto self = weak.lock();
        if (!self) return;
        if (!cancelled) self->closeSceneAndReturnHome();
      });
    });
  });
}

void QVLObjectSceneViewController::openButtonPressed() {
  if (headerActionsBlocked() || isApplyingChanges_) return;
  if (display_) {
    display_->closeExportPopover();
    display_->setHeaderBlocked(true);
  }
  closeAllCleaningPanels([weak = weak_from_this()] {
    auto self = weak.lock();
    if (!self) return;
    self->closeRightPanel([weak] {
      auto self = weak.lock();
      if (self && self->delegate_) self->delegate_->openExistingScanForObjectSceneViewController();
    });
  });
}

void QVLObjectSceneViewController::appearanceButtonPressed() {
  if (headerActionsBlocked() || isApplyingChanges_) return;
  if (display_) display_->closeExportPopover();
  const bool wasShowing = rightPanel_ == RightPanel::Appearance;
  closeRightPanel({});
  if (!wasShowing) {
    rightPanel_ = RightPanel::Appearance;
    if (display_) display_->showRightPanel(RightPanel::Appearance);
  }
}

void QVLObjectSceneViewController::colorWellPressed(scene::Colour colour) {
  if (headerActionsBlocked()) return;
  backgroundColour_ = colour;
  scene_->setBackground(colour);
  if (display_) {
    display_->setBackgroundColour(colour);
    display_->setNeedsDisplay();
  }
  const auto id = scanObjectId();
  if (!id) return;
  auto context = store().mainContext();
  context->performAndWait([&] {
    if (auto scan = QVSDScanObject::scanObjectWithId(*id, false, *context)) {
      scan->setBackgroundColour(valueFromColour(colour));
      context->save();
    }
  });
}

double QVLObjectSceneViewController::layerTableTargetHeight(double rowHeight) const {
  int k = 0;
  for (const QVLLayerState& layer : layerStates())
    if (layer.numberOfPoints != 0 && layer.numberOfVisiblePoints != 0) ++k;
  return k >= 2 ? k * rowHeight : 0.0;
}

void QVLObjectSceneViewController::pointCloudButtonPressed() {
  // Opens only for two or more visible layers; a second press closes it. The rest of the Clean
  // panel stays as it is: only its sub-panels fold away.
  const bool open = !cleaningPanels_.layerTable && layerTableTargetHeight(1.0) > 0;
  closeAllCleaningPanels([weak = weak_from_this(), open] {
    auto self = weak.lock();
    if (!self || !open) return;
    qv::viewer::CleaningPanels panels;
    panels.layerTable = true;
    self->setCleaningPanels(panels);
  });
}

bool QVLObjectSceneViewController::alignButtonPressed() {
  if (isApplyingChanges_ || headerActionsBlocked() || aligningScreenShown_) return false;
  if (display_) display_->closeExportPopover();
  closeAllCleaningPanels([weak = weak_from_this()] {
    if (auto self = weak.lock()) self->closeRightPanel({});
  });
  return true;
}

void QVLObjectSceneViewController::updateButtons() {
  runOnMain([weak = weak_from_this()] {
    auto self = weak.lock();
    if (!self || !self->display_) return;
    if (!self->isDoneLoading_ || self->isSaving_)
      self->display_->setHeaderButtons(HeaderButtons::ShownDisabled);
    else if (self->isPresentingMeshedObject_)
      self->display_->setHeaderButtons(HeaderButtons::MeshToolbar);
    else
      self->display_->setHeaderButtons(HeaderButtons::ShownEnabled);
  });
}

void QVLObjectSceneViewController::updateWindowTitleForScanObject() {
  const std::string path = scanObjectFilePath();
  if (path.empty() || !display_) return;
  const std::string name = fs::path(path).stem().string();
  if (name.empty()) return;
  display_->setWindowTitle(isPresentingMeshedObject_ ? "Meshed " + name : name);
}

void QVLObjectSceneViewController::closeSceneAndReturnHome() {
  saveViewerState([weak = weak_from_this()] {
    auto self = weak.lock();
    if (!self) return;
    self->resetScene();
    self->removeUnsavedMeshedFile();
    if (self->display_) self->display_->setWindowTitle("Quorvel");
    if (self->delegate_) self->delegate_->showHudScreenForObjectSceneViewController();
  });
}

bool QVLObjectSceneViewController::canOpenFile() const {
  if (brushCleaningState_ != 0) return false;
  if (aligningScreenShown_) return false;
  return isDoneLoading_ && !isSaving_ && !isPresentingMeshedObject_;
}

void QVLObjectSceneViewController::enableHeaderUI() {
  if (display_) display_->setHeaderBlocked(false);
}

bool QVLObjectSceneViewController::validateMenuItem(int tag, const std::string& action) const {
  if (tag == 4 || tag == 101) return true;
  if (tag == 400 || tag == 401) return false;
  if (action == "undo:") return canUndo_;
  if (action == "redo:") return canRedo_;
  return true;
}

std::vector<QVLLayerState> QVLObjectSceneViewController::layerRows() const {
  std::vector<QVLLayerState> rows;
  for (const QVLLayerState& layer : layerStates())
    if (layer.numberOfVisiblePoints != 0) rows.push_back(layer);
  return rows;
}

void QVLObjectSceneViewController::layerTableDidClickRow(int row) {
  {
    std::lock_guard<std::mutex> lock(stateLock_);
    int seen = 0;
    for (QVLLayerState& layer : layerStates_) {
      if (layer.numberOfVisiblePoints == 0) continue;
      if (seen++ == row) {
        layer.isEnabled = !layer.isEnabled;
        break;
      }
    }
  }
  if (display_) display_->reloadLayerTable();
  renderCroppedNodes();
}

// ---------------------------------------------------------------------------------------------
// Crop setters

void QVLObjectSceneViewController::setYCutOff(float v) {
  if (v > maxYValue_) v = maxYValue_;
  if (minYValue_ > v) v = minYValue_;
  if (v >= topYCutOff_ && !pushingTop_) {
    pushingTop_ = true;
    setTopYCutOff(v + 0.1f);
    pushingTop_ = false;
  }
  if (yCutOff_ != 0 && std::fabs(yCutOff_ - v) < 0.1f) return;
  yCutOff_ = std::round(v / 0.1f) * 0.1f;
  renderCroppedNodes();
}

void QVLObjectSceneViewController::setTopYCutOff(float v) {
  if (v > maxYValue_) v = maxYValue_;
  if (minYValue_ > v) v = minYValue_;
  if (yCutOff_ >= v && !pushingBottom_) {
    pushingBottom_ = true;
    setYCutOff(v - 0.1f);
    pushingBottom_ = false;
  }
  if (topYCutOff_ != 0 && std::fabs(topYCutOff_ - v) < 0.1f) return;
  topYCutOff_ = std::round(v / 0.1f) * 0.1f;
  renderCroppedNodes();
}

void QVLObjectSceneViewController::setRadiusCutOff(float v) {
  if (v > maxRadiusValue_) v = maxRadiusValue_;
  if (minRadiusValue_ > v) v = minRadiusValue_;
  if (radiusCutOff_ != 0 && std::fabs(radiusCutOff_ - v) < 0.1f) return;
  radiusCutOff_ = std::round(v / 0.1f) * 0.1f;
  renderCroppedNodes();
}

// ---------------------------------------------------------------------------------------------
// Viewer state

void QVLObjectSceneViewController::saveViewerState(std::function<void()> completion) {
  if (!isDoneLoading_) {
    if (completion) completion();
    return;
  }
  auto self = shared_from_this();
  qv::globalQueue(qv::QueuePriority::Background)->async([self, completion = std::move(completion)] {
    const auto id = self->scanObjectId();
    auto context = self->store().mainContext();
    std::string oldPath;
    if (id)
      context->performAndWait([&] {
        if (auto scan = QVSDScanObject::scanObjectWithId(*id, false, *context)) oldPath = scan->snapshotFilePath().value_or("");
      });
    std::error_code ec;
    const std::string path = (self->store().filesFolder() / (qv::makeUUIDString() + ".tiff")).string();
    bool written = false;
    if (!fs::exists(path, ec))
      qv::mainQueue()->sync([&] {
        if (!self->display_) return;
        if (auto image = self->display_->sceneImage()) written = qv::viewer::writeThumbnail(*image, path);
      });
    const float pitch = self->pitchAngle_, yaw = self->yawAngle_;
    const qv::Double3 camera = self->cameraPosition();
    const scene::Colour background = self->scene_->background();
    bool stored = false;
    if (id)
      context->performAndWait([&] {
        auto scan = QVSDScanObject::scanObjectWithId(*id, false, *context);
        if (!scan) return;
        if (written) scan->setSnapshotFilePath(path);
        scan->setPitchAngle(pitch);
        scan->setYawAngle(yaw);
        scan->setCameraPosition(camera);
        scan->setBackgroundColour(valueFromColour(background));
        qv::Error error;
        stored = context->save(&error);
        if (!stored) QVLogWarn("Could not save the viewer state: %s", error.description.c_str());
      });
    // The old picture goes only once the new one is written and the row names it: a visit where
    // nothing could be drawn (no OpenGL) keeps the tile's picture. The row may name any file (a
    // library copied from elsewhere, an edited row): only the library's own thumbnail goes.
    if (written && stored && !oldPath.empty() && oldPath != path && fs::exists(oldPath, ec))
      qv::removeLibraryFile(self->store().libraryFolder(), self->store().filesFolder(), oldPath, "old thumbnail");
    if (completion) runOnMain(completion);
  });
}

void QVLObjectSceneViewController::resetViewer() {
  closeRightPanel({});
  saveViewerState([weak = weak_from_this()] {
    if (auto self = weak.lock()) self->resetScene();
  });
}

// ---------------------------------------------------------------------------------------------
// Export and save

ExportChoices QVLObjectSceneViewController::exportChoices() const {
  ExportChoices choices;
  choices.qvk = settings().boolForKey(kQvkExportsKey) || !modelHasSlices_;
  choices.qvkx = modelHasSlices_;
  choices.texturedObj = modelHasTextures_;
  return choices;
}

void QVLObjectSceneViewController::exportButtonPressed() {
  if (isApplyingChanges_ || headerActionsBlocked() || !display_) return;
  closeRightPanel({});
  if (display_->isExportPopoverShown()) {
    display_->closeExportPopover();
    return;
  }
  display_->showExportPopover(exportChoices());
}

void QVLObjectSceneViewController::exportFileFormatSelected(const std::string& identifier) {
  if (headerActionsBlocked()) return;
  if (display_) display_->closeExportPopover();
  if (identifier == "stl" || identifier == "textured_obj" || identifier == "untextured_obj") {
    meshPresentsTextures_ = identifier == "textured_obj";
    showMeshingViewControllerForType(identifier);
    return;
  }
  auto self = shared_from_this();
  saveViewerState([self, identifier] { self->savePointsForFileType(identifier); });
}

std::unique_ptr<QVLFileExporter> QVLObjectSceneViewController::writerForExtension(const std::string& extension) const {
  const auto id = scanObjectId();
  if (!id) return nullptr;
  auto writer = options_.writers ? options_.writers(extension, *id) : qv::viewer::makePointWriter(extension, *id);
  if (writer) writer->setPrivateQueueContext(store().privateContext());
  return writer;
}

void QVLObjectSceneViewController::savePointsForFileType(const std::string& extension,
                                                         std::function<void(bool)> completion) {
  const auto id = scanObjectId();
  std::string source;
  auto context = store().mainContext();
  if (id)
    context->performAndWait([&] {
      if (auto scan = QVSDScanObject::scanObjectWithId(*id, true, *context)) {
        source = scan->sourceFilePath().value_or("");
        context->save();
      }
    });
  const std::string suggestion = source.empty() ? "Scan." + extension : fs::path(source).stem().string() + "." + extension;
  const std::string proposed = qv::viewer::proposedSavePath(settings(), source, suggestion).string();
  auto self = shared_from_this();
  auto finishCancelled = [self, completion] {
    if (self->display_) {
      self->display_->setHomeButtonEnabled(true);
      self->display_->setHeaderBlocked(false);
    }
    if (completion) completion(false);
  };
  if (!display_) return finishCancelled();
  display_->askForSavePath(proposed, extension,
                           [self, source, extension, completion, finishCancelled](std::optional<std::string> path) {
                             if (!path) return finishCancelled();
                             qv::viewer::rememberPanelFolder(self->settings(), *path);
                             self->savePointsToFilePath(*path, source, extension, completion);
                           });
}

void QVLObjectSceneViewController::savePointsToFilePath(const std::string& path, const std::string& original,
                                                        const std::string& extension,
                                                        std::function<void(bool)> completion) {
  auto self = shared_from_this();
  // The outcome reaches the user and the caller's completion on the main queue, whether the save
  // ends with an answer or with an exception that its queue caught.
  auto finishOnMain = [self, path, completion](bool saved, const qv::Error& error) {
    runOnMain([self, saved, error, path, completion] {
      auto finish = [self, saved, completion] {
        self->isSaving_ = false;
        self->updateButtons();
        if (completion) completion(saved);
      };
      auto report = [self, saved, error, path, finish] {
        if (!self->display_ || (saved && error.code == 0)) return finish();
        // A save that could not keep all of the scan says what it left out, as a read does.
        if (saved) return self->display_->showAlert("The scan was saved without some of its points", error.description, finish);
        QVLogError("Could not save %s: %s", path.c_str(), error.description.c_str());
        self->display_->showAlert("The scan could not be saved", error.description, finish);
      };
      if (self->display_)
        self->display_->dismissBusyView(report);
      else
        report();
    });
  };
  auto start = [self, path, original, extension, finishOnMain] {
    auto failed = [finishOnMain](const qv::Error& error) { finishOnMain(false, error); };
    qv::globalQueue(qv::QueuePriority::Background)->async("save the scan to " + path, [self, path, original, extension, finishOnMain] {
      qv::Error error;
      std::unique_ptr<QVLFileExporter> writer = self->writerForExtension(extension);
      bool saved = false;
      if (!writer)
        error = qv::Error{"com.quorvel.viewer", 1, "There is no writer for files of type \"" + extension + "\".", {}};
      else
        saved = writer->exportScanToFilePath(path, &error);

      if (saved && (extension == "qvk" || extension == "qvkx")) {
        const auto id = self->scanObjectId();
        qv::SharedData records, byY, byRadius, byNeighbour;
        self->pointManagementQueue_->sync([&] {
          records = qv::viewer::toData(self->sortableIndexData_);
          byY = self->orders_.byY.bytes();
          byRadius = self->orders_.byRadius.bytes();
          byNeighbour = self->orders_.byNeighbour.bytes();
        });
        auto context = self->store().privateContext();
        std::optional<qv::ObjectID> target;
        context->performAndWait([&] {
          auto scan = id ? QVSDScanObject::scanObjectWithId(*id, false, *context) : nullptr;
          if (!scan) return;
          std::shared_ptr<QVSDScanObject> into = scan;
          if (lowercase(path) != lowercase(original)) {
            into = QVSDScanObject::createScanObjectInLibrary(scan->library());
            qv::Error copyError;
            if (!into->copyFromScanObject(*scan, &copyError)) {
              // The file is written, but the library cannot hold the scan for it (its disk is
              // full, say): no scan is stored without its points, and the viewer stays on the
              // scan it shows, edits and all.
              context->rollback();
              saved = false;
              error = copyError;
              error.description = "The scan was written to " + path + ", but the library could not keep a copy of it: " +
                                  copyError.description;
              return;
            }
            copyCameraNormals(*scan, *into);
            into->setSourceFilePath(path);
            scan->setUnsavedVertexData(nullptr);
            scan->setSortableIndexData(nullptr);
            scan->setSortableIndexReferenceForNeighbourData(nullptr);
            scan->setSortableIndexReferenceForRadiusData(nullptr);
            scan->setSortableIndexReferenceForYPositionData(nullptr);
          }
          if (auto unsaved = into->unsavedVertexData()) {
            into->setVertexData(unsaved);
            into->setUnsavedVertexData(nullptr);
          }
          into->setSortableIndexData(records);
          into->setSortableIndexReferenceForNeighbourData(byNeighbour);
          into->setSortableIndexReferenceForRadiusData(byRadius);
          into->setSortableIndexReferenceForYPositionData(byY);
          qv::Error saveError;
          if (!context->save(&saveError)) {
            context->rollback();
            saved = false;
            error = saveError;
            return;
          }
          target = into->objectID();
        });
        if (target) {
          {
            std::lock_guard<std::mutex> lock(self->stateLock_);
            self->scanObjectId_ = target;
            self->scanObjectFilePath_ = path;
          }
          runOnMain([self] { self->updateWindowTitleForScanObject(); });
        }
      }

      finishOnMain(saved, error);
    }, failed);
  };
  runOnMain([self, start] {
    self->isSaving_ = true;
    self->updateButtons();
    if (self->display_)
      self->display_->showBusyView("Saving...", start);
    else
      start();
  });
}

void QVLObjectSceneViewController::saveMesh(std::function<void(bool)> completion) {
  const int type = meshingType_;
  const std::string extension = type == 1 || type == 2 ? "obj" : type == 3 ? "stl" : "";
  const auto id = scanObjectId();
  if (extension.empty() || !id) {
    if (completion) completion(false);
    return;
  }
  std::string source;
  bool textured = false;  // whether the save writes a material file and an image beside the OBJ
  auto context = store().mainContext();
  context->performAndWait([&] {
    if (auto scan = QVSDScanObject::scanObjectWithId(*id, false, *context)) {
      source = scan->sourceFilePath().value_or("");
      textured = type == 1 && !scan->objTextureFileName().value_or("").empty();
    }
  });
  const std::string stem = fs::path(source).stem().string();
  const std::string suggestion = (stem.empty() ? std::string("Scan") : stem) + "." + extension;
  auto self = shared_from_this();
  if (!display_) {
    if (completion) completion(false);
    return;
  }
  const std::string proposed = qv::viewer::proposedSavePath(settings(), source, suggestion).string();
  display_->askForSavePath(proposed, extension, [self, id, type, extension, textured, completion](std::optional<std::string> path) {
    if (self->display_) {
      self->display_->setHomeButtonEnabled(true);
      self->display_->setHeaderBlocked(false);
    }
    if (!path) {
      if (completion) completion(false);
      return;
    }
    qv::viewer::rememberPanelFolder(self->settings(), *path);
    auto finishOnMain = [self, completion](bool saved, const qv::Error& error) {
      runOnMain([self, saved, error, completion] {
        if (saved && self->display_) self->display_->dismissSaveMeshView();
        auto done = [completion, saved] {
          if (completion) completion(saved);
        };
        if (!saved && self->display_)
          self->display_->showAlert("The mesh could not be saved", error.description, done);
        else
          done();
      });
    };
    auto failed = [finishOnMain](const qv::Error& error) { finishOnMain(false, error); };
    auto write = [self, id, type, extension, finishOnMain, failed, path = *path] {
      qv::globalQueue(qv::QueuePriority::Background)->async("save the mesh to " + path, [self, id, type, extension, finishOnMain, path] {
        std::unique_ptr<QVLFileExporter> writer =
            self->options_.writers ? self->options_.writers(extension, *id) : qv::viewer::makeMeshWriter(extension, *id, type == 1);
        qv::Error error{"com.quorvel.viewer", 1, "There is no writer for meshes of type \"" + extension + "\".", {}};
        if (writer) writer->setPrivateQueueContext(self->store().privateContext());
        const bool saved = writer && writer->exportScanToFilePath(path, &error);
        if (saved) self->meshNeedsSaving_ = false;
        finishOnMain(saved, error);
      }, failed);
    };
    // The panel asked about the OBJ itself. Its material file and image take a name of their own
    // that another mesh's OBJ may share ("a-b.obj" and "ab.obj" both use "ab.mtl"): each that is
    // there is asked about the same way (unless the OBJ replaced is the one that names them), and
    // a No replaces nothing at all.
    std::vector<std::string> existing;
    if (textured) existing = QVLObjFileExporter::companionsToAskAbout(*path);
    self->askToReplaceEach(std::move(existing), std::move(write), [completion] {
      if (completion) completion(false);
    });
  });
}

void QVLObjectSceneViewController::askToReplaceEach(std::vector<std::string> files, std::function<void()> replace,
                                                    std::function<void()> keep) {
  if (files.empty() || !display_) {
    if (files.empty()) replace();
    else keep();
    return;
  }
  const std::string name = fs::path(files.front()).filename().string();
  files.erase(files.begin());
  auto self = shared_from_this();
  auto answered = [self, files = std::move(files), replace = std::move(replace), keep = std::move(keep)](bool yes) mutable {
    if (!yes) {
      keep();
      return;
    }
    self->askToReplaceEach(std::move(files), std::move(replace), std::move(keep));
  };
  display_->askToReplaceFile(name, std::move(answered));
}

void QVLObjectSceneViewController::saveAnyUnsavedChanges(std::function<void(bool)> completion) {
  const auto id = scanObjectId();
  bool unsaved = false;
  std::string source;
  auto context = store().mainContext();
  if (id)
    context->performAndWait([&] {
      if (auto scan = QVSDScanObject::scanObjectWithId(*id, false, *context)) {
        unsaved = static_cast<bool>(scan->unsavedVertexData());
        source = scan->sourceFilePath().value_or("");
      }
    });
  if (!unsaved || !display_) {
    if (completion) completion(false);
    return;
  }
  const std::string ext = lowercase(extensionOf(source));
  const std::string text = ext == "qvk"    ? "Do you want to save the changes you've made to the QVK file."
                           : ext == "qvkx" ? "Do you want to save the changes you've made to the QVKX file."
                                           : "Do you want to save the changes you've made to this file.";
  auto self = shared_from_this();
  display_->askToSaveChanges(text, [self, id, ext, completion](SaveChangesAnswer answer) {
    if (self->display_) {
      self->display_->setHomeButtonEnabled(true);
      self->display_->setHeaderBlocked(false);
    }
    switch (answer) {
      case SaveChangesAnswer::Save: {
        // Edits kept only in a scan file of our own: anything else (a fresh scan, an STL
        // import) is saved as a project file.
        const std::string type = (ext == "qvk" || ext == "qvkx") ? ext : "qvkx";
        self->savePointsForFileType(type, [completion](bool saved) {
          if (completion) completion(!saved);
        });
        return;
      }
      case SaveChangesAnswer::DontSave: {
        // On the private context, behind the load's own write of the display records.
        auto context = self->store().privateContext();
        context->performAndWait([&] {
          if (auto scan = QVSDScanObject::scanObjectWithId(*id, false, *context)) {
            scan->setUnsavedVertexData(nullptr);
            scan->setSortableIndexData(nullptr);
            scan->setSortableIndexReferenceForNeighbourData(nullptr);
            scan->setSortableIndexReferenceForRadiusData(nullptr);
            scan->setSortableIndexReferenceForYPositionData(nullptr);
            context->save();
          }
        });
        {
          std::lock_guard<std::mutex> lock(self->stateLock_);
          self->pcdFilePath_.clear();
        }
        if (completion) completion(false);
        return;
      }
      case SaveChangesAnswer::Cancel:
        if (completion) completion(true);
        return;
    }
  });
}
