// The cleaning brush: every octree node's box projected to a screen rectangle once per view, a
// stroke's query against those rectangles, the marking of brushed records (each point projected
// at most once per view) and their resolution into the selection, and the brush cursor. Plain
// functions over the search cloud and the records; the viewer runs them on its point-management
// queue. The brush works in view space: points hidden behind others are brushed too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "viewer/model/CleaningDisplay.h"
#include "viewer/model/CleaningEdits.h"
#include "viewer/model/QVLSortableIndexEntry.h"
#include "viewer/model/SearchCloud.h"
#include "viewer/model/ViewProjection.h"

namespace qv::viewer {

// brushCleaningAction: what a resolved stroke does to the selection.
enum BrushAction : int { AddToSelection = 1, ReplaceSelection = 2, RemoveFromSelection = 3 };

// Whether two snapshots show the same view (object and camera placement, lens and view size).
bool sameView(const ViewSnapshot& a, const ViewSnapshot& b);

// Stores in every octree node the rectangle its box projects to. `viewChanged` is asked before
// each node; when it answers true the pass stops and answers false, and the rectangles are a mix
// that must be projected again. A node with a corner behind the camera gets an unbounded
// rectangle: a folded projection must never hide points from the brush.
bool projectOctreeNodes(SearchCloud& cloud, const ViewProjector& project, const std::function<bool()>& viewChanged);

// The cloud point numbers of every leaf whose rectangle meets the square of half side `size`
// around a brush point; each leaf is listed once.
std::vector<std::int32_t> collectBrushedOctreeIndices(SearchCloud& cloud, std::span<const BrushPoint> brush,
                                                      float size);

// Puts under the brush every record whose point lies strictly closer than `size` view points to
// a brush point. A record's screen position is projected when its projection id is not
// `projectionId` (or a coordinate is exactly 0) and kept for later strokes in the same view.
// Records already under the brush or hidden (cropped, on a hidden layer, removed) and point
// numbers naming no record are skipped. Answers how many records were newly put under the brush.
std::size_t markBrushedPoints(SearchCloud& cloud, std::span<QVLSortableIndexEntry> records,
                              std::span<const BrushPoint> brush, float size, std::int32_t projectionId,
                              const ViewProjector& project);

// The localised name of the undo step a stroke with this action makes ("Add Points", "Select
// Points", "Remove Points"); empty for an unknown action, which changes nothing.
std::string brushActionName(int action);

// Turns the records under the brush into selection changes: add, replace (the old selection is
// cleared) or remove. Clears "under the brush" everywhere. Answers the step that undoes exactly
// this, named for the action.
CleaningStep resolveSelectedPoints(std::span<QVLSortableIndexEntry> records, int action);

// The cursor for the brush state, action and size (the closed hand in state 5, the drawn brush
// in states 3 and 4, else the default).
BrushCursor brushCursorFor(int brushCleaningState, int brushCleaningAction, std::uint64_t brushSize);

}  // namespace qv::viewer
