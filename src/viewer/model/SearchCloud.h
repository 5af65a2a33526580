// The viewer's search cloud (one point per present vertex, carrying its record number) and the
// octree over it that the brush walks. PCL stays behind this interface.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "store/QVLScanVertex.h"
#include "viewer/model/SceneMath.h"

namespace qv::viewer {

class SearchCloud {
public:
  SearchCloud();
  ~SearchCloud();
  SearchCloud(const SearchCloud&) = delete;
  SearchCloud& operator=(const SearchCloud&) = delete;

  // Refills the cloud with every vertex not at the origin, in order, and rebuilds the octree
  // (resolution 1.0) over it. The cloud and the octree are reused from one scan to the next.
  void rebuild(std::span<const QVLScanVertex> vertices);

  std::size_t size() const;
  scene::Vec3 positionAt(std::size_t point) const;
  // The record number in the vertex buffer of the vertex a point stands for.
  std::int32_t vertexIndexAt(std::size_t point) const;
  std::size_t octreeLeafCount() const;
  // The points of every octree leaf together: each cloud point exactly once when the tree is whole.
  std::size_t octreePointCount() const;

  struct Impl;
  Impl& impl() { return *impl_; }

private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace qv::viewer
