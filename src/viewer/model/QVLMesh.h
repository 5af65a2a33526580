// Poisson surface reconstruction of a stored scan: its points with normals become a closed
// triangle surface, kept as an ASCII STL file in the library folder and as the scan object's
// meshed vertex data (three 44-byte scan vertex records a triangle).
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <vector>

#include "formats/MeshFormats.h"
#include "platform/Error.h"
#include "store/ObjectContext.h"
#include "store/ObjectID.h"

class QVLMesh {
public:
  // Where a meshing reads and writes: the default store's private-queue context and the
  // application library folder unless set.
  struct Places {
    qv::ObjectContextPtr context;
    std::filesystem::path folder;
    // Threads of the reconstruction at most; 0 for every core the process may use. Either way
    // no more than those cores leave idle: OpenMP's waiting threads spin, so on cores already
    // busy with other work fewer threads finish sooner.
    int threads = 0;
  };

  // Reads the scan object's unsaved vertex data (else its vertex data), reconstructs, writes
  // "<UUID>.stl" into the folder and reads it back into meshedVertexData, naming the file in
  // meshedVertexDataFilePath. The file an earlier meshing left in the folder is removed once the
  // new one has replaced it; a new file that could not be read back is removed at once. Slow and
  // blocking: never call it on the main thread. False, with the reason, when there was nothing to
  // mesh or a step failed; the scan object is then unchanged.
  static bool meshScanObject(const qv::ObjectID& scanObjectId, std::int32_t octreeDepth, std::int32_t samplesPerNode,
                             qv::Error* error = nullptr);
  static bool meshScanObject(const qv::ObjectID& scanObjectId, std::int32_t octreeDepth, std::int32_t samplesPerNode,
                             const Places& places, qv::Error* error = nullptr);

  // The threads a reconstruction asking for `requested` (0: every core the process may use)
  // runs on now: at most the process's cores (its CPU set and cgroup quota) that stay idle over
  // a twentieth of a second's look at the kernel's counters, and at least one.
  static int threadsForReconstruction(int requested);

  // The reconstruction alone, on the idle cores (`threads` at most, the count chosen stored in
  // `threadsUsed`): the records of a vertex blob whose position is neither the origin (the "no
  // point" record) nor anything but finite, with their normals, in blob order; a trailing partial
  // record is ignored. Polygons of more than three corners are split into fans. Empty when there
  // is nothing to mesh.
  static std::vector<qv::mesh::StlFacet> reconstruct(std::span<const std::uint8_t> vertexBlob, std::int32_t octreeDepth,
                                                     std::int32_t samplesPerNode, int threads = 0,
                                                     int* threadsUsed = nullptr);
  // The same on exactly `threads` threads, whatever the cores (to measure what a count costs).
  static std::vector<qv::mesh::StlFacet> reconstructOnThreads(std::span<const std::uint8_t> vertexBlob,
                                                              std::int32_t octreeDepth, std::int32_t samplesPerNode,
                                                              int threads);
};
