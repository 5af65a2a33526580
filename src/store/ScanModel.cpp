// The scan library's entities: every attribute with its kind, and the ownership tree between them.
#include "store/ScanModel.h"

#include "store/QVSDLibrary.h"
#include "store/QVSDPoint3D.h"
#include "store/QVSDPointCloud.h"
#include "store/QVSDScanObject.h"
#include "store/QVSDScanSlice.h"
#include "store/QVSDTexture.h"

namespace qv {

namespace {

using A = AttributeType;

std::vector<AttributeDescription> doubles(std::initializer_list<const char*> names) {
  std::vector<AttributeDescription> out;
  for (const char* n : names) out.push_back({n, A::Double});
  return out;
}

template <class T>
EntityDescription::Factory factory() {
  return [] { return std::make_shared<T>(); };
}

std::vector<AttributeDescription> join(std::vector<std::vector<AttributeDescription>> parts) {
  std::vector<AttributeDescription> out;
  for (auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

ModelPtr buildScanModel() {
  std::vector<EntityDescription> entities;
  entities.emplace_back("QVSDLibrary", std::vector<AttributeDescription>{}, std::vector<ToOneDescription>{},
                        std::vector<ToManyDescription>{{"scanObjects", "QVSDScanObject", "library"}}, factory<QVSDLibrary>());

  entities.emplace_back(
      "QVSDScanObject",
      join({{{"backgroundColour", A::Object}},
            doubles({"cameraPositionX", "cameraPositionY", "cameraPositionZ"}),
            {{"creationDate", A::Date}, {"isActiveScan", A::Integer}, {"lastOpenedDate", A::Date},
             {"meshedVertexData", A::Data}, {"meshedVertexDataFilePath", A::String, true}},
            doubles({"objectCenterPointX", "objectCenterPointY", "objectCenterPointZ"}),
            {{"objTextureFileName", A::String, true}, {"objTextureCoordinatesData", A::Data}, {"pitchAngle", A::Double},
             {"radiusCutoff", A::Double}, {"snapshotFilePath", A::String, true}, {"sortableIndexData", A::Data},
             {"sortableIndexReferenceForNeighbourData", A::Data}, {"sortableIndexReferenceForRadiusData", A::Data},
             {"sortableIndexReferenceForYPositionData", A::Data}, {"sourceFileDate", A::Date},
             {"sourceFilePath", A::String}, {"unsavedVertexData", A::Data}, {"vertexData", A::Data},
             {"vertexDataFilePath", A::String, true}, {"vertexIndexDataFilePath", A::String, true}, {"yawAngle", A::Double},
             {"yCutoff", A::Double}}}),
      std::vector<ToOneDescription>{{"library", "QVSDLibrary", "scanObjects"}},
      std::vector<ToManyDescription>{{"pointClouds", "QVSDPointCloud", "scanObject"},
                                     {"points", "QVSDPoint3D", "scanObject"},
                                     {"scanSlices", "QVSDScanSlice", "scanObject"},
                                     {"textures", "QVSDTexture", "scanObject"}},
      factory<QVSDScanObject>());

  entities.emplace_back(
      "QVSDPointCloud",
      join({doubles({"bedNX", "bedNY", "bedNZ", "bedX", "bedY", "bedZ"}),
            {{"cameraHeight", A::Integer}},
            doubles({"cameraNormalX", "cameraNormalY", "cameraNormalZ", "cameraOriginX", "cameraOriginY",
                     "cameraOriginZ", "cameraUpX", "cameraUpY", "cameraUpZ"}),
            {{"cameraWidth", A::Integer}},
            doubles({"headHeight", "height", "laserNormalX", "laserNormalY", "laserNormalZ"}),
            {{"laserNumber", A::Integer}},
            doubles({"laserOriginX", "laserOriginY", "laserOriginZ", "leadScrewNX", "leadScrewNY", "leadScrewNZ"}),
            {{"lookupId", A::Integer}},
            doubles({"objectCenterPointX", "objectCenterPointY", "objectCenterPointZ"}),
            {{"radiansData", A::Data}, {"referenceId", A::Integer}, {"vertexDataFilePath", A::String, true},
             {"vertexIndexData", A::Data}, {"vertexIndexDataFilePath", A::String, true}},
            doubles({"distortion0", "distortion1", "distortion2", "distortion3", "intrinsicCX", "intrinsicCY",
                     "intrinsicFX", "intrinsicFY"})}),
      std::vector<ToOneDescription>{{"scanObject", "QVSDScanObject", "pointClouds"}},
      std::vector<ToManyDescription>{{"points", "QVSDPoint3D", "pointCloud"},
                                     {"scanSlices", "QVSDScanSlice", "pointCloud"}},
      factory<QVSDPointCloud>());

  entities.emplace_back(
      "QVSDScanSlice",
      join({{{"dataOffset", A::Integer}, {"numberOfPoints", A::Integer}},
            doubles({"objectCenterPointX", "objectCenterPointY", "objectCenterPointZ", "rotation"}),
            {{"sliceIndex", A::Integer}}}),
      std::vector<ToOneDescription>{{"pointCloud", "QVSDPointCloud", "scanSlices"},
                                    {"scanObject", "QVSDScanObject", "scanSlices"}},
      std::vector<ToManyDescription>{{"points", "QVSDPoint3D", "scanSlice"}}, factory<QVSDScanSlice>());

  entities.emplace_back(
      "QVSDPoint3D",
      join({doubles({"colourBlue", "colourGreen", "colourRed"}),
            {{"index", A::Integer}},
            doubles({"normalX", "normalY", "normalZ", "point2DX", "point2DY", "point3DX", "point3DY", "point3DZ"})}),
      std::vector<ToOneDescription>{{"pointCloud", "QVSDPointCloud", "points"},
                                    {"scanObject", "QVSDScanObject", "points"},
                                    {"scanSlice", "QVSDScanSlice", "points"}},
      std::vector<ToManyDescription>{}, factory<QVSDPoint3D>());

  entities.emplace_back(
      "QVSDTexture",
      join({doubles({"cameraNormX", "cameraNormY", "cameraNormZ", "cameraPositionX", "cameraPositionY",
                     "cameraPositionZ", "cameraUpX", "cameraUpY", "cameraUpZ", "distortion0", "intrinsicCX"}),
            {{"textureFileName", A::String, true}},
            doubles({"cameraOriginX", "cameraOriginY", "cameraOriginZ", "distortion1", "distortion2", "distortion3",
                     "intrinsicCY", "intrinsicFX", "intrinsicFY"})}),
      std::vector<ToOneDescription>{{"scanObject", "QVSDScanObject", "textures"}}, std::vector<ToManyDescription>{},
      factory<QVSDTexture>());

  return std::make_shared<const ObjectModel>(std::move(entities));
}

}  // namespace

ModelPtr scanModel() {
  static const ModelPtr model = buildScanModel();
  return model;
}

}  // namespace qv
