// The stored entities: factories and their counters, cloud headers and calibrations, the fetch
// orders and look-ups, the single library, vector accessors, and copies that carry their files.
#include <sys/stat.h>

#include <cmath>

#include "StoreTestSupport.h"
#include "platform/UUID.h"
#include "records/QVLTexture.h"
#include "records/QVSCalibrationDetails.h"
#include "store/QVSDLibrary.h"
#include "store/QVSDPoint3D.h"
#include "store/QVSDPointCloud.h"
#include "store/QVSDScanObject.h"
#include "store/QVSDScanSlice.h"
#include "store/QVSDTexture.h"
#include "store/VertexRecords.h"

namespace fs = std::filesystem;

namespace {

std::shared_ptr<QVSDScanObject> newScan(qv::ObjectContext& context) {
  return QVSDScanObject::createScanObjectInLibrary(QVSDLibrary::defaultLibraryInContext(context));
}

std::vector<double> rotationsOf(const std::vector<std::shared_ptr<QVSDScanSlice>>& slices) {
  std::vector<double> out;
  for (auto& s : slices) out.push_back(s->rotation().value_or(NAN));
  return out;
}

}  // namespace

TEST_F(StoreTest, FactoriesLinkTheNewObjectAndCountCloudsAndSlicesFromOne) {
  onMain([&] {
    auto scan = newScan(mainContext());
    EXPECT_TRUE(scan->creationDate());
    EXPECT_EQ(scan->creationDate(), scan->lastOpenedDate());
    auto first = QVSDPointCloud::createPointCloudForScanObject(scan);
    auto second = QVSDPointCloud::createPointCloudForScanObject(scan);
    EXPECT_EQ(first->lookupId(), 1);
    EXPECT_EQ(second->lookupId(), 2);
    EXPECT_EQ(first->scanObject(), scan);

    auto s1 = QVSDScanSlice::createScanSliceInPointCloud(first, 3.0f);
    auto s2 = QVSDScanSlice::createScanSliceInPointCloud(first, 1.0f);
    EXPECT_EQ(s1->sliceIndex(), 1);
    EXPECT_EQ(s2->sliceIndex(), 2);
    EXPECT_EQ(s2->scanObject(), scan);
    auto point = QVSDPoint3D::createPointInScanSlice(s2);
    EXPECT_EQ(point->scanSlice(), s2);
    EXPECT_EQ(point->pointCloud(), first);
    EXPECT_EQ(point->scanObject(), scan);
    EXPECT_EQ(scan->scanSlices().size(), 2u);
    EXPECT_EQ(scan->points().size(), 1u);

    EXPECT_EQ(QVSDPointCloud::createPointCloudForScanObject(nullptr), nullptr);
    EXPECT_EQ(QVSDScanSlice::createScanSliceInPointCloud(nullptr, 0.0f), nullptr);
    EXPECT_EQ(QVSDPoint3D::createPointInScanSlice(nullptr), nullptr);
    EXPECT_EQ(QVSDTexture::createTextureInScanObject(nullptr), nullptr);
    // A cloud that lost its scan object gets no slices.
    auto orphan = mainContext().insertNewObject<QVSDPointCloud>();
    EXPECT_EQ(QVSDScanSlice::createScanSliceInPointCloud(orphan, 0.0f), nullptr);
    mainContext().deleteObject(orphan);
    ASSERT_TRUE(mainContext().save());
  });
  // The counts hold across runs: a later cloud of the same scan continues at 3.
  reopen();
  onPrivate([&] {
    auto scan = privateContext().fetch<QVSDScanObject>(qv::FetchRequest("QVSDScanObject")).at(0);
    EXPECT_EQ(QVSDPointCloud::createPointCloudForScanObject(scan)->lookupId(), 3);
  });
}

TEST_F(StoreTest, AScanObjectFromAFileNeedsTheFileAndKeepsItsDate) {
  const fs::path file = temp.path() / "model.qvk";
  writeFile(file, "qvk");
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  onMain([&] {
    auto library = QVSDLibrary::defaultLibraryInContext(mainContext());
    EXPECT_EQ(QVSDScanObject::createScanObjectWithFilePath((temp.path() / "absent.qvk").string(), library), nullptr);
    auto scan = QVSDScanObject::createScanObjectWithFilePath(file.string(), library);
    ASSERT_TRUE(scan);
    EXPECT_EQ(scan->sourceFilePath(), file.string());
    EXPECT_EQ(qv::microsecondsOf(*scan->sourceFileDate()) / 1'000'000, st.st_mtim.tv_sec);
    EXPECT_EQ(scan->library(), library);
  });
}

TEST_F(StoreTest, HeaderValuesMakeACloudWithItsSlicesWhateverTheLetterCase) {
  onMain([&] {
    auto scan = newScan(mainContext());
    EXPECT_EQ(QVSDPointCloud::createPointCloudForScanObject(scan, qv::Dictionary{}), nullptr);
    auto cloud = QVSDPointCloud::createPointCloudForScanObject(
        scan, qv::Dictionary{{"CAMERAWIDTH", "1280"},
                             {"cameraheight", qv::Value(960)},
                             {"bedNormalY", "0.5"},
                             {"bedpositionz", qv::Value(-12.25)},
                             {"leadScrewNormalX", "0.125"},
                             {"captureHeight", "33.3"},
                             {"ID", "7"},
                             {"laser", "1"},
                             {"cloudWidth", "999"},
                             {"unknownKey", "1"},
                             {"intrinsic", "1400.5 1401.5 640.25 480.75"},
                             {"distortion", "0.1 -0.2 0.003 0.004 0.5"},
                             {"radians", "0 2 4"}});
    ASSERT_TRUE(cloud);
    EXPECT_EQ(cloud->lookupId(), 1);
    EXPECT_EQ(cloud->cameraWidth(), 1280);
    EXPECT_EQ(cloud->cameraHeight(), 960);
    EXPECT_EQ(cloud->bedNY(), 0.5);
    EXPECT_EQ(cloud->bedZ(), -12.25);
    EXPECT_EQ(cloud->leadScrewNX(), 0.125);
    EXPECT_EQ(cloud->headHeight(), 33.3);  // doubles stay doubles
    EXPECT_EQ(cloud->referenceId(), 7);
    EXPECT_EQ(cloud->laserNumber(), 1);
    // Four intrinsics come in the order the scan file writer puts them: fx, fy, cx, cy.
    EXPECT_EQ(cloud->intrinsicFX(), 1400.5);
    EXPECT_EQ(cloud->intrinsicFY(), 1401.5);
    EXPECT_EQ(cloud->intrinsicCX(), 640.25);
    EXPECT_EQ(cloud->intrinsicCY(), 480.75);
    EXPECT_EQ(cloud->distortion0(), static_cast<double>(0.1f));  // list values are floats
    EXPECT_EQ(cloud->distortion3(), static_cast<double>(0.004f));
    auto slices = QVSDScanSlice::scanSlicesSortedBySliceIndexInPointCloud(cloud);
    EXPECT_EQ(rotationsOf(slices), (std::vector<double>{0, 2, 4}));
    EXPECT_EQ(slices[2]->sliceIndex(), 3);

    auto matrix = QVSDPointCloud::createPointCloudForScanObject(
        scan, qv::Dictionary{{"intrinsic", "1000 0 600 0 1001 470 0 0 1"}, {"radians", "1  3"}});
    EXPECT_EQ(matrix->lookupId(), 2);
    EXPECT_EQ(matrix->intrinsicFX(), 1000.0);
    EXPECT_EQ(matrix->intrinsicCX(), 600.0);
    EXPECT_EQ(matrix->intrinsicFY(), 1001.0);
    EXPECT_EQ(matrix->intrinsicCY(), 470.0);
    // A doubled blank makes an empty part, which is no rotation (not a slice at 0).
    EXPECT_EQ(rotationsOf(QVSDScanSlice::scanSlicesSortedBySliceIndexInPointCloud(matrix)), (std::vector<double>{1, 3}));

    // A trailing blank is one part too many: the intrinsics are skipped, the rest still applies.
    auto skipped = QVSDPointCloud::createPointCloudForScanObject(
        scan, qv::Dictionary{{"intrinsic", "1 2 3 4 "}, {"distortion", "1 2 3"}, {"laser", "0"}});
    EXPECT_FALSE(skipped->intrinsicFX());
    EXPECT_FALSE(skipped->distortion0());
    EXPECT_EQ(skipped->laserNumber(), 0);
  });
}

TEST_F(StoreTest, ACloudFromACalibrationTakesTheLasersPlaneAndAFixedImageSize) {
  QVSCalibrationDetails calibration;
  calibration.setBedNormalY(0.99f);
  calibration.setBedOriginZ(-300.5f);
  calibration.setCameraOriginX(1.5f);
  calibration.setCameraUpY(-1.0f);
  calibration.setIntrinsicFX(1400.1f);
  calibration.setIntrinsicCY(479.9f);
  calibration.setDistortion2(0.001f);
  calibration.setLeadScrewNormalZ(0.7f);
  calibration.setLaser1NormalX(0.6f);
  calibration.setLaser1OriginZ(10.0f);
  calibration.setLaser2NormalX(-0.6f);
  calibration.setLaser2OriginZ(20.0f);
  onMain([&] {
    auto scan = newScan(mainContext());
    auto first = QVSDPointCloud::createPointCloudForScanObject(scan, calibration, 12.7f, 0);
    auto second = QVSDPointCloud::createPointCloudForScanObject(scan, calibration, 12.7f, 1);
    EXPECT_EQ(first->lookupId(), 1);
    EXPECT_EQ(second->lookupId(), 2);
    EXPECT_EQ(first->laserNumber(), 0);
    EXPECT_EQ(second->laserNumber(), 1);
    EXPECT_EQ(first->laserNormalX(), 0.6f);
    EXPECT_EQ(first->laserOriginZ(), 10.0f);
    EXPECT_EQ(second->laserNormalX(), -0.6f);
    EXPECT_EQ(second->laserOriginZ(), 20.0f);
    for (const auto& cloud : {first, second}) {
      EXPECT_EQ(cloud->cameraWidth(), 1280);
      EXPECT_EQ(cloud->cameraHeight(), 960);
      EXPECT_EQ(cloud->headHeight(), 12.7f);
      EXPECT_EQ(cloud->bedNY(), 0.99f);
      EXPECT_EQ(cloud->bedZ(), -300.5f);
      EXPECT_EQ(cloud->cameraOriginX(), 1.5f);
      EXPECT_EQ(cloud->cameraUpY(), -1.0f);
      EXPECT_EQ(cloud->intrinsicFX(), 1400.1f);
      EXPECT_EQ(cloud->intrinsicCY(), 479.9f);
      EXPECT_EQ(cloud->distortion2(), 0.001f);
      EXPECT_EQ(cloud->leadScrewNZ(), 0.7f);
      EXPECT_FALSE(cloud->cameraNormalX());
      EXPECT_FALSE(cloud->vertexDataFilePath());
    }
    // The scan driver finds the pass again by its float head height.
    EXPECT_NE(QVSDPointCloud::pointCloudWithHeadHeight(12.7f, scan), nullptr);
    EXPECT_EQ(QVSDPointCloud::pointCloudWithHeadHeight(12.8f, scan), nullptr);
  });
}

TEST_F(StoreTest, CloudsSortByHeadHeightThenLaserAndSlicesByRotationOrIndex) {
  qv::ObjectID scanID;
  onPrivate([&] {
    auto scan = newScan(privateContext());
    scanID = scan->objectID();
    for (auto [height, laser] : {std::pair{20.0, 1}, {10.0, 1}, {20.0, 0}, {10.0, 0}}) {
      auto cloud = QVSDPointCloud::createPointCloudForScanObject(scan);
      cloud->setHeadHeight(height);
      cloud->setLaserNumber(laser);
    }
    ASSERT_TRUE(privateContext().save());
  });
  onMain([&] {
    auto scan = QVSDScanObject::scanObjectWithId(scanID, false, mainContext());
    // One more, unsaved: sorted in with the stored ones.
    auto extra = QVSDPointCloud::createPointCloudForScanObject(scan);
    extra->setHeadHeight(15.0);
    extra->setLaserNumber(0);
    std::vector<std::pair<double, std::int64_t>> order;
    for (auto& c : QVSDPointCloud::sortedPointCloudsForScanObject(scan)) order.emplace_back(*c->headHeight(), *c->laserNumber());
    EXPECT_EQ(order, (std::vector<std::pair<double, std::int64_t>>{{10, 0}, {10, 1}, {15, 0}, {20, 0}, {20, 1}}));
    EXPECT_TRUE(QVSDPointCloud::sortedPointCloudsForScanObject(nullptr).empty());

    auto cloud = QVSDPointCloud::sortedPointCloudsForScanObject(scan).front();
    for (float r : {2.0f, 0.5f, 3.25f, 1.0f}) QVSDScanSlice::createScanSliceInPointCloud(cloud, r);
    EXPECT_EQ(rotationsOf(QVSDScanSlice::scanSlicesSortedByRotationInPointCloud(cloud)), (std::vector<double>{0.5, 1, 2, 3.25}));
    EXPECT_EQ(rotationsOf(QVSDScanSlice::scanSlicesSortedBySliceIndexInPointCloud(cloud)), (std::vector<double>{2, 0.5, 3.25, 1}));
    EXPECT_EQ(QVSDScanSlice::firstScanSliceInPointCloud(cloud)->rotation(), 0.5);
    EXPECT_EQ(QVSDScanSlice::lastScanSliceInPointCloud(cloud)->rotation(), 3.25);
    EXPECT_EQ(QVSDScanSlice::nextScanSliceForRotation(1.0f, cloud)->rotation(), 2.0);
    EXPECT_EQ(QVSDScanSlice::nextScanSliceForRotation(1.5f, cloud)->rotation(), 2.0);
    EXPECT_EQ(QVSDScanSlice::previousScanSliceForRotation(2.0f, cloud)->rotation(), 1.0);
    EXPECT_EQ(QVSDScanSlice::previousScanSliceForRotation(0.5f, cloud), nullptr);  // the smallest has none before it
    EXPECT_EQ(QVSDScanSlice::nextScanSliceForRotation(3.25f, cloud), nullptr);      // the largest none after it
    EXPECT_EQ(QVSDScanSlice::scanSliceWithRotation(3.25f, cloud)->sliceIndex(), 3);
    EXPECT_EQ(QVSDScanSlice::scanSliceWithRotation(3.2f, cloud), nullptr);
    EXPECT_EQ(QVSDScanSlice::firstScanSliceInPointCloud(nullptr), nullptr);
    EXPECT_TRUE(QVSDScanSlice::scanSlicesSortedByRotationInPointCloud(nullptr).empty());

    auto slice = QVSDScanSlice::scanSliceWithRotation(2.0f, cloud);
    for (double row : {5.0, 900.0, 17.5}) QVSDPoint3D::createPointInScanSlice(slice)->setPoint2DY(row);
    std::vector<double> rows;
    for (auto& p : QVSDPoint3D::pointsSortedBy2DYInScanSlice(slice)) rows.push_back(*p->point2DY());
    EXPECT_EQ(rows, (std::vector<double>{900, 17.5, 5}));
    EXPECT_TRUE(QVSDPoint3D::pointsSortedBy2DYInScanSlice(nullptr).empty());
  });
}

TEST_F(StoreTest, ScanLookUpsStayInTheirLibraryAndListTheNewestOpenedFirst) {
  onMain([&] {
    auto library = QVSDLibrary::defaultLibraryInContext(mainContext());
    auto otherLibrary = mainContext().insertNewObject<QVSDLibrary>();
    auto a = QVSDScanObject::createScanObjectInLibrary(library);
    auto b = QVSDScanObject::createScanObjectInLibrary(library);
    auto c = QVSDScanObject::createScanObjectInLibrary(library);
    auto elsewhere = QVSDScanObject::createScanObjectInLibrary(otherLibrary);
    a->setLastOpenedDate(qv::dateFromMicroseconds(2'000));
    b->setLastOpenedDate(qv::dateFromMicroseconds(3'000));
    c->setLastOpenedDate(qv::dateFromMicroseconds(1'000));
    a->setSourceFilePath(std::string("/same.qvk"));
    elsewhere->setSourceFilePath(std::string("/same.qvk"));
    b->setSnapshotFilePath(std::string("/b.png"));
    c->setVertexDataFilePath(std::string("/c.VertexData"));
    c->setValue("vertexIndexDataFilePath", std::string("/c.index"));
    ASSERT_TRUE(mainContext().save());

    auto recent = QVSDScanObject::scanObjectsSortedByLastOpenedDateInLibrary(library);
    ASSERT_EQ(recent.size(), 3u);
    EXPECT_EQ(recent[0], b);
    EXPECT_EQ(recent[1], a);
    EXPECT_EQ(recent[2], c);
    EXPECT_EQ(QVSDScanObject::scanObjectWithFilePath("/same.qvk", library), a);
    EXPECT_EQ(QVSDScanObject::scanObjectsWithFilePath("/same.qvk", otherLibrary).size(), 1u);
    EXPECT_EQ(QVSDScanObject::scanObjectWithFilePath("/none.qvk", library), nullptr);
    EXPECT_EQ(QVSDScanObject::scanObjectWithThumbnailFilePath("/b.png", library), b);
    EXPECT_EQ(QVSDScanObject::scanObjectWithThumbnailFilePath("/b.png", otherLibrary), nullptr);
    EXPECT_EQ(QVSDScanObject::scanObjectWithVertexDataFilePath("/c.VertexData", mainContext()), c);
    EXPECT_EQ(QVSDScanObject::scanObjectWithVertexIndexDataFilePath("/c.index", mainContext()), c);
    EXPECT_TRUE(QVSDScanObject::scanObjectsSortedByLastOpenedDateInLibrary(nullptr).empty());

    // Opening a scan by identifier can stamp it as the newest.
    QVSDScanObject::scanObjectWithId(c->objectID(), true, mainContext());
    EXPECT_EQ(QVSDScanObject::scanObjectsSortedByLastOpenedDateInLibrary(library).front(), c);
    EXPECT_EQ(QVSDScanObject::scanObjectWithId(library->objectID(), false, mainContext()), nullptr);  // not a scan
  });
}

TEST_F(StoreTest, TheDefaultLibraryIsFoundAgainButTwoContextsCanEachMakeOne) {
  std::shared_ptr<QVSDLibrary> mainLibrary;
  onMain([&] {
    mainLibrary = QVSDLibrary::defaultLibraryInContext(mainContext());
    EXPECT_TRUE(mainLibrary->isInserted());
    EXPECT_EQ(QVSDLibrary::defaultLibraryInContext(mainContext()), mainLibrary);
  });
  onPrivate([&] { QVSDLibrary::defaultLibraryInContext(privateContext()); });
  onMain([&] { ASSERT_TRUE(mainContext().save()); });
  onPrivate([&] { ASSERT_TRUE(privateContext().save()); });
  settle();
  onMain([&] {
    EXPECT_EQ(mainContext().fetch<QVSDLibrary>(qv::FetchRequest("QVSDLibrary")).size(), 2u);
    EXPECT_EQ(QVSDLibrary::defaultLibraryInContext(mainContext()), mainLibrary);  // the first one made
  });
}

TEST_F(StoreTest, VectorAccessorsReadUnsetPartsAsZeroAndAnnounceTheCombinedKey) {
  onMain([&] {
    auto scan = newScan(mainContext());
    EXPECT_EQ(scan->objectCenterPoint(), (qv::Double3{0, 0, 0}));
    std::vector<std::string> keys;
    scan->addKeyObserver([&](qv::ManagedObject&, const std::string& key) { keys.push_back(key); });
    scan->setObjectCenterPoint({1.5, -2, 1e-9});
    EXPECT_EQ(scan->objectCenterPoint(), (qv::Double3{1.5, -2, 1e-9}));
    EXPECT_EQ(keys.back(), "objectCenterPoint");
    scan->setCameraPosition({0, 0, 250});
    EXPECT_EQ(keys.back(), "cameraPosition");
    EXPECT_EQ(scan->cameraPositionZ(), 250.0);

    auto texture = QVSDTexture::createTextureInScanObject(scan);
    texture->setCameraNormX(0.5);
    EXPECT_EQ(texture->cameraNorm(), Eigen::Vector3d(0.5, 0, 0));
    texture->setCameraUp(Eigen::Vector3d(0, 1, 0));
    EXPECT_EQ(texture->cameraUpY(), 1.0);
    auto point = QVSDPoint3D::createPointInScanSlice(
        QVSDScanSlice::createScanSliceInPointCloud(QVSDPointCloud::createPointCloudForScanObject(scan), 0));
    point->setPoint3D(Eigen::Vector3d(1, 2, 3));
    point->setNormal(Eigen::Vector3d(0, 0, -1));
    EXPECT_EQ(point->point3DY(), 2.0);
    EXPECT_EQ(point->normal(), Eigen::Vector3d(0, 0, -1));
  });
}

TEST_F(StoreTest, AStoredTextureMakesTheViewersTextureRecord) {
  onMain([&] {
    auto texture = QVSDTexture::createTextureInScanObject(newScan(mainContext()));
    texture->setTextureFileName(std::string("/photos/t1.png"));
    texture->setCameraPosition(Eigen::Vector3d(0, 100, 300));
    texture->setCameraNorm(Eigen::Vector3d(0, 0, -2));
    texture->setCameraUp(Eigen::Vector3d(0, 1, 0));
    texture->setIntrinsicFX(1400.0);
    ASSERT_TRUE(mainContext().save());
    EXPECT_EQ(QVSDTexture::textureWithFilePath("/photos/t1.png", mainContext()), texture);
    EXPECT_EQ(QVSDTexture::allTexturesInContext(mainContext()).size(), 1u);

    auto record = QVLTexture::textureFromStoredAttributes(texture->storedAttributes());
    ASSERT_TRUE(record);
    EXPECT_EQ(record->cameraPosition(), Eigen::Vector3d(0, 100, 300));
    EXPECT_EQ(record->cameraNormal(), Eigen::Vector3d(0, 0, -1));
  });
}

// ---------------------------------------------------------------- copies

TEST_F(StoreTest, ACopiedScanOwnsCopiesOfEveryFileAndEveryCloudSliceAndTexture) {
  const fs::path folder = libraryFolder();
  writeFile(folder / "snap.png", "thumbnail");
  writeFile(folder / "mesh.stl", "solid mesh");
  writeFile(folder / "atlas.png", "atlas");
  writeFile(folder / "photo.jpg", "photo");
  qv::ObjectID copyID;
  std::vector<QVLSliceVertex> sourceGrid;
  onPrivate([&] {
    auto source = newScan(privateContext());
    source->setSourceFilePath(std::string("/scans/original.qvk"));
    source->setSnapshotFilePath((folder / "snap.png").string());
    source->setMeshedVertexDataFilePath((folder / "mesh.stl").string());
    source->setObjTextureFileName((folder / "atlas.png").string());
    source->setObjTextureCoordinatesData(std::make_shared<const qv::Data>(48, 1));
    source->setVertexData(std::make_shared<const qv::Data>(88, 2));
    source->setYawAngle(0.25);
    source->setBackgroundColour(qv::Value(qv::Array{qv::Value(1.0), qv::Value(0.0), qv::Value(0.0), qv::Value(1.0)}));
    auto cloud = QVSDPointCloud::createPointCloudForScanObject(source);
    QVSDPointCloud::createPointCloudForScanObject(source)->setHeadHeight(5.0);
    cloud->setCameraNormalX(0.3);
    cloud->setLaserNumber(1);
    for (float r : {0.0f, 1.0f}) {
      auto slice = QVSDScanSlice::createScanSliceInPointCloud(cloud, r);
      QVLPoint3D p;
      p.point2DY = 100 + r;
      p.point3DX = 1 + r;
      auto block = qv::makeSliceBlock(std::span(&p, 1));
      ASSERT_TRUE(cloud->appendSliceBlock(*slice, block.block, nullptr));
      QVSDPoint3D::createPointInScanSlice(slice)->setPoint2DY(p.point2DY);
    }
    sourceGrid = *cloud->readSliceGrid(nullptr);
    auto texture = QVSDTexture::createTextureInScanObject(source);
    texture->setTextureFileName((folder / "photo.jpg").string());
    texture->setIntrinsicFX(1234.0);

    auto copy = QVSDScanObject::createScanObjectInLibrary(source->library());
    copy->copyFromScanObject(*source);
    copyID = copy->objectID();
    ASSERT_TRUE(privateContext().save());
  });
  // Everything is written: check it in a new run.
  reopen();
  onMain([&] {
    auto copy = QVSDScanObject::scanObjectWithId(copyID, false, mainContext());
    ASSERT_TRUE(copy);
    EXPECT_FALSE(copy->sourceFilePath());
    EXPECT_EQ(copy->yawAngle(), 0.25);
    EXPECT_EQ(copy->numberOfVertices(), 2u);
    ASSERT_TRUE(copy->backgroundColour());
    EXPECT_EQ(copy->objTextureCoordinatesData()->size(), 48u);
    auto expectCopied = [&](const std::optional<std::string>& path, const char* extension, const std::string& contents) {
      ASSERT_TRUE(path);
      const fs::path p(*path);
      EXPECT_EQ(p.parent_path(), store->filesFolder());
      EXPECT_EQ(p.extension(), extension);
      EXPECT_TRUE(qv::isUUIDString(p.stem().string())) << p;
      EXPECT_EQ(readFile(p), contents);
    };
    expectCopied(copy->snapshotFilePath(), ".png", "thumbnail");
    expectCopied(copy->meshedVertexDataFilePath(), ".stl", "solid mesh");
    expectCopied(copy->objTextureFileName(), ".png", "atlas");
    EXPECT_NE(copy->objTextureFileName(), copy->snapshotFilePath());
    ASSERT_EQ(copy->textures().size(), 1u);
    expectCopied(copy->textures()[0]->textureFileName(), ".jpg", "photo");
    EXPECT_EQ(copy->textures()[0]->intrinsicFX(), 1234.0);

    auto clouds = QVSDPointCloud::sortedPointCloudsForScanObject(copy);
    ASSERT_EQ(clouds.size(), 2u);
    auto copiedCloud = clouds[0]->laserNumber() == 1 ? clouds[0] : clouds[1];
    EXPECT_EQ(copiedCloud->lookupId(), 1);
    EXPECT_EQ(copiedCloud->cameraNormalX(), 0.3);
    ASSERT_TRUE(copiedCloud->vertexDataFilePath());
    EXPECT_EQ(fs::path(*copiedCloud->vertexDataFilePath()).extension(), ".PointCloudVertices");
    // The copied slices' offsets find the same blocks in the copied file.
    auto grid = copiedCloud->readSliceGrid(nullptr);
    ASSERT_TRUE(grid);
    ASSERT_EQ(grid->size(), sourceGrid.size());
    EXPECT_EQ(std::memcmp(grid->data(), sourceGrid.data(), grid->size() * sizeof(QVLSliceVertex)), 0);
    auto slices = QVSDScanSlice::scanSlicesSortedByRotationInPointCloud(copiedCloud);
    ASSERT_EQ(slices.size(), 2u);
    EXPECT_EQ(slices[1]->sliceIndex(), 2);
    EXPECT_EQ(slices[1]->dataOffset(), 42240);
    ASSERT_EQ(slices[1]->points().size(), 1u);
    EXPECT_EQ(slices[1]->points()[0]->point2DY(), 101.0);
    EXPECT_EQ(slices[1]->points()[0]->scanObject(), copy);
  });
}

TEST_F(StoreTest, ACopyWhoseSourceFilesAreGoneHasNoPathsForThem) {
  onMain([&] {
    auto source = newScan(mainContext());
    source->setSnapshotFilePath((libraryFolder() / "gone.png").string());
    source->setVertexDataFilePath(std::string(""));
    auto copy = QVSDScanObject::createScanObjectInLibrary(source->library());
    copy->copyFromScanObject(*source);
    EXPECT_FALSE(copy->snapshotFilePath());
    EXPECT_FALSE(copy->vertexDataFilePath());
    EXPECT_FALSE(copy->objTextureFileName());
    EXPECT_FALSE(copy->copyFile(""));
  });
}
