// The light a sensor pixel records over its whole area where the image changes inside it.
#pragma once

#include <Eigen/Core>
#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace qv::sim {

class RandomStream;

// What one point of the image sees: which smooth piece of which surface in which colour (a key
// that two points share only if the light between them varies smoothly), and its light.
struct SeenPoint {
  std::uint64_t key = 0;
  Eigen::Vector3f light = Eigen::Vector3f::Zero();
};

// How a straight edge splits the unit square. Corners run 0 (0,0), 1 (1,0), 2 (1,1), 3 (0,1);
// `inside[i]` says on which side of the edge corner i lies, and `crossing[i]` is where the edge
// crosses side i (from corner i to corner i + 1) as a fraction of the way along it, for the two
// sides whose ends lie on opposite sides. Nothing unless exactly two sides are crossed.
struct EdgeSplit {
  double insideShare = 0.0;  // of the square's area
  // The centroids of the two parts, where a light varying smoothly over each part has its mean.
  Eigen::Vector2d insideCentroid = Eigen::Vector2d::Zero();
  Eigen::Vector2d outsideCentroid = Eigen::Vector2d::Zero();
};
std::optional<EdgeSplit> splitByStraightEdge(const std::array<bool, 4>& inside, const std::array<double, 4>& crossing);

// Averages a pixel's light over its area. A pixel crossed by one straight edge (its corners fall
// into two runs of the same two surfaces, its centre on the side the edge leaves it) is measured
// exactly: the edge is found where it crosses the pixel's sides, and each side's light is what
// the middle of its part sees. Anything else (a chessboard's corner, a thin part, three surfaces)
// is split into quarters measured the same way, and what is left after two splits is averaged
// over one jittered point in each cell of an n x n grid. Corners and crossings are kept for the
// neighbours that share them; every result depends on its pixel alone, never on which pixels were
// asked before, so the frame is the same however its rows are shared out.
class PixelAreaLight {
public:
  // `see(x, y)`: what the image point (x, y) sees, pixel centres at whole coordinates.
  using See = std::function<SeenPoint(double x, double y)>;
  explicit PixelAreaLight(int width);

  // Forgets everything kept and looks at a new image from here on, jittering over an n x n grid.
  // Rows are best asked for in order, each from left to right, so that shared points are reused.
  void start(See see, int jitterGrid);
  // The mean light over pixel (u, v), whose centre saw `centre`. `oneEdgeAround`: the pixel's eight
  // neighbours' centres change surface at most twice going round it, as one edge leaves them.
  Eigen::Vector3f light(int u, int v, const SeenPoint& centre, bool oneEdgeAround);

  // Halvings of a pixel's side when locating an edge on it: to a thousandth of a pixel.
  static constexpr int kBisections = 10;
  // How often a pixel that is no one straight edge (a chessboard's corner) is split in four
  // before the quarters left are jittered: twice leaves a sixteenth of it to the jitter.
  static constexpr int kQuarterings = 2;

private:
  // Kept points and crossings are stamped with the image they belong to and their line (the image
  // line y = line - 0.5 for corners and horizontal sides, the row for vertical sides).
  using Stamp = std::uint64_t;
  Stamp stamp(int line) const { return image_ << 32 | static_cast<std::uint32_t>(line); }
  struct Corner {
    Stamp stamp = 0;
    SeenPoint seen;
  };
  struct Crossing {
    Stamp stamp = 0;
    bool found = false;
    double at = 0.0;  // fraction of the way from the side's first corner (left or top)
  };

  const SeenPoint& corner(int line, int u);
  // The edge on the top side of pixel u on `line`, and on the left side of pixel u in row v.
  const Crossing& across(int line, int u);
  const Crossing& down(int v, int u);
  std::optional<double> bisect(double x0, double y0, double x1, double y1, std::uint64_t first, std::uint64_t second,
                               int halvings);
  // The mean light over the square of side `size` whose top-left corner is (x, y), if one straight
  // edge crosses it: `c` are what its corners see in order round it, `crossingOn(side)` where the
  // edge crosses a side, as a fraction from the side's first corner.
  template <typename CrossingOn>
  std::optional<Eigen::Vector3f> oneEdge(double x, double y, double size, const std::array<const SeenPoint*, 4>& c,
                                         const SeenPoint& centre, CrossingOn crossingOn);
  // The mean light over such a square from its four quarters, each measured as a pixel is, down
  // to quarters quartered kQuarterings times, which are jittered.
  Eigen::Vector3f quarters(double x, double y, double size, int depth, RandomStream& jitter);
  Eigen::Vector3f jittered(double x, double y, double size, RandomStream& jitter);

  int width_;
  See see_;
  int grid_ = 1;
  Stamp image_ = 0;  // counts the images looked at; 0 stamps nothing
  std::array<std::vector<Corner>, 2> corners_;     // by the line's parity, width + 1 each
  std::array<std::vector<Crossing>, 2> across_;    // by the line's parity, width each
  std::vector<Crossing> down_;                     // the current row's, width + 1
};

}  // namespace qv::sim
