// The ray-cast frames: layout, what is seen where, light and exposure, noise, the laser lines and
// their true centres, edges averaged over the pixels they cross, and the laser's shadows.
#include <gtest/gtest.h>

#include <Eigen/Geometry>
#include <cmath>
#include <map>

#include "sim/optics/FrameRenderer.h"
#include "sim/optics/SphereObject.h"

using qv::sim::FrameRenderer;
using qv::sim::FrameState;
using qv::sim::ScannerDesign;
using qv::sim::ScannerModel;
using qv::sim::Scene;

namespace {

constexpr int kCylinder = 1;
constexpr int kSphere = 2;
constexpr int kHourglass = 3;

int channel(const qv::Data& frame, int row, int column, int byte) {
  return frame[static_cast<std::size_t>(row) * 5120 + column * 4 + byte];
}

class Renderer : public testing::Test {
protected:
  ScannerModel model{ScannerDesign::standard()};
  Scene scene = Scene::standard();
  FrameRenderer renderer{model, scene};
};

}  // namespace

TEST_F(Renderer, FramesAre1280By960PixelsWithAnOpaqueFourthByte) {
  FrameState state;
  state.noiseSigma = 3.0;
  const qv::Data frame = renderer.render(state);
  ASSERT_EQ(frame.size(), 4915200u);
  for (std::size_t i = 3; i < frame.size(); i += 4) ASSERT_EQ(frame[i], 255) << i;
}

TEST_F(Renderer, ObjectsAreSeenWhereTheModelProjectsThemAndTurnWithTheBed) {
  FrameState state;
  state.bedAngle_deg = 20.0;
  const auto& sphere = static_cast<const qv::sim::SphereObject&>(*scene.objects()[kSphere]);
  const Eigen::Vector3d centre = ScannerModel::world_from_turntable(20.0) * sphere.centre();
  const auto pixel = model.project(centre, 0.0);
  ASSERT_TRUE(pixel);
  const auto hit = renderer.castPixel(pixel->x(), pixel->y(), state);
  ASSERT_TRUE(hit);
  EXPECT_EQ(hit->hit.objectId, kSphere);
  EXPECT_NEAR((hit->point_turntable - sphere.centre()).norm(), sphere.radius(), 1e-9);
  // The surface faces the camera there.
  EXPECT_LT(hit->hit.surface.normal.dot(hit->point_turntable - (ScannerModel::world_from_turntable(20.0).transpose() *
                                                                 model.cameraCentre_world(0.0))),
            0.0);
  // Half a turn later the sphere has moved away from that pixel.
  state.bedAngle_deg = 200.0;
  const auto later = renderer.castPixel(pixel->x(), pixel->y(), state);
  EXPECT_TRUE(!later || later->hit.objectId != kSphere);

  // The top of the off-axis cylinder at its axis, seen from above.
  state.bedAngle_deg = 60.0;
  const Eigen::Vector3d top = ScannerModel::world_from_turntable(60.0) * Eigen::Vector3d(40.0, 70.0, -25.0);
  const auto topPixel = model.project(top, 0.0);
  ASSERT_TRUE(topPixel);
  const auto topHit = renderer.castPixel(topPixel->x(), topPixel->y(), state);
  ASSERT_TRUE(topHit);
  EXPECT_EQ(topHit->hit.objectId, kCylinder);
  EXPECT_NEAR((topHit->point_turntable - Eigen::Vector3d(40.0, 70.0, -25.0)).norm(), 0.0, 1e-6);
}

TEST_F(Renderer, AmbientLightScalesWithExposureAndSaturates) {
  FrameState state;
  const qv::Data one = renderer.render(state);
  state.exposure = 1.5;
  const qv::Data more = renderer.render(state);
  state.exposure = 40.0;
  const qv::Data blinding = renderer.render(state);
  long compared = 0;
  for (int row = 100; row < 900; row += 37) {
    for (int column = 50; column < 1250; column += 41) {
      for (int byte = 0; byte < 3; ++byte) {
        const int a = channel(one, row, column, byte);
        const int b = channel(more, row, column, byte);
        if (b >= 255) continue;
        EXPECT_NEAR(b, 1.5 * a, 1.3) << row << " " << column;
        ++compared;
      }
      // Every surface and the backdrop saturate at a high enough exposure.
      EXPECT_EQ(channel(blinding, row, column, 2), 255);
    }
  }
  EXPECT_GT(compared, 1000);
}

TEST_F(Renderer, NoiseIsRepeatableByItsSeedAndHasItsStandardDeviation) {
  FrameState state;
  state.exposure = 0.8;  // keep clear of 0 and 255, where the noise would be clipped
  const qv::Data clean = renderer.render(state);
  state.noiseSigma = 2.0;
  state.noiseSeed = 5;
  const qv::Data a = renderer.render(state);
  const qv::Data again = renderer.render(state);
  state.noiseSeed = 6;
  const qv::Data other = renderer.render(state);
  EXPECT_EQ(a, again);
  EXPECT_NE(a, other);
  double sum = 0.0;
  double sumSquares = 0.0;
  long n = 0;
  for (std::size_t i = 0; i < clean.size(); i += 4) {
    for (int byte = 0; byte < 3; ++byte) {
      if (clean[i + byte] < 10 || clean[i + byte] > 245) continue;
      const double e = static_cast<double>(a[i + byte]) - clean[i + byte];
      sum += e;
      sumSquares += e * e;
      ++n;
    }
  }
  ASSERT_GT(n, 1000000);
  EXPECT_NEAR(sum / n, 0.0, 0.01);
  // Rounding both frames to whole grey levels adds a twelfth of a level squared each.
  EXPECT_NEAR(std::sqrt(sumSquares / n), std::sqrt(4.0 + 2.0 / 12.0), 0.02);
}

TEST_F(Renderer, TheLaserOnlyAddsLightRedFirst) {
  FrameState state;
  state.bedAngle_deg = 75.0;
  const qv::Data off = renderer.render(state);
  state.laserOn = {true, true};
  const qv::Data on = renderer.render(state);
  long lit = 0;
  for (std::size_t i = 0; i < off.size(); i += 4) {
    const int blue = on[i] - off[i];
    const int green = on[i + 1] - off[i + 1];
    const int red = on[i + 2] - off[i + 2];
    ASSERT_GE(blue, 0);
    if (red > 0) ++lit;
    // Rounding can tie the channels; beyond that red gains the most and blue the least.
    if (on[i + 2] < 255) {
      ASSERT_GE(red + 1, green);
    }
    ASSERT_GE(green + 1, blue);
  }
  EXPECT_GT(lit, 4000);
}

TEST_F(Renderer, TrueLineCentresLieOnThePlaneTheSurfaceAndTheirPixel) {
  for (const int laser : {0, 1}) {
    FrameState state;
    state.bedAngle_deg = 170.0;
    state.headHeight_mm = 30.0;
    state.laserOn[laser] = true;
    const auto crossings = renderer.laserLine(state, laser);
    std::map<int, int> perObject;
    const auto plane = model.laserPlane_world(laser, state.headHeight_mm);
    for (const auto& c : crossings) {
      ++perObject[c.objectId];
      EXPECT_NEAR(plane.normal.dot(c.point_world - plane.emitter), 0.0, 1e-6);
      EXPECT_LT(scene.objects()[c.objectId]->distanceToSurface(c.point_turntable), 1e-6);
      const auto pixel = model.project(c.point_world, state.headHeight_mm);
      ASSERT_TRUE(pixel);
      EXPECT_NEAR(pixel->x(), c.x_px, 1e-5);
      EXPECT_NEAR(pixel->y(), c.row, 1e-5);
      EXPECT_GT(c.mmPerPixel, 0.05);
      EXPECT_LT(c.mmPerPixel, 2.0);
    }
    // In these views the line crosses the bed and an object.
    EXPECT_GT(perObject[0], 50) << "laser " << laser;
    EXPECT_GT(perObject[kCylinder] + perObject[kSphere] + perObject[kHourglass], 100) << "laser " << laser;
  }
}

TEST_F(Renderer, TheRenderedLineIsCentredOnItsTrueCentre) {
  FrameState state;
  state.bedAngle_deg = 170.0;
  state.headHeight_mm = 20.0;
  const qv::Data off = renderer.render(state);
  state.laserOn[1] = true;
  const qv::Data on = renderer.render(state);
  // On the flat bed the line's cross-section is symmetric about the true centre; on curved
  // surfaces the sheet meets the surface at a changing angle, which skews it a little.
  double flatSum = 0.0;
  double flatSquares = 0.0;
  int flatRows = 0;
  int curvedRows = 0;
  for (const auto& c : renderer.laserLine(state, 1)) {
    if (!c.clean) continue;
    // Centre of mass of the raw red difference across the line.
    double weight = 0.0;
    double moment = 0.0;
    const int centre = static_cast<int>(std::lround(c.x_px));
    for (int column = centre - 8; column <= centre + 8; ++column) {
      const double d = channel(on, c.row, column, 2) - channel(off, c.row, column, 2);
      weight += d;
      moment += d * column;
    }
    ASSERT_GT(weight, 0.0) << "row " << c.row;
    const double error = moment / weight - c.x_px;
    if (c.objectId == 0) {
      flatSum += error;
      flatSquares += error * error;
      ++flatRows;
      EXPECT_LT(std::fabs(error), 0.3) << "row " << c.row;
    } else {
      ++curvedRows;
      EXPECT_LT(std::fabs(error), 0.3) << "row " << c.row;
    }
  }
  ASSERT_GT(flatRows, 100);
  ASSERT_GT(curvedRows, 40);
  EXPECT_LT(std::fabs(flatSum / flatRows), 0.02);
  EXPECT_LT(std::sqrt(flatSquares / flatRows), 0.06);
}

namespace {

// A card standing across the bed's centre, square to the camera, light on one side of a slanting
// line and dark on the other: an edge between two colours on one flat face. Upright, the line
// runs nearly down the image; lying, nearly across it.
class SlantedEdgeCard final : public qv::sim::SceneObject {
public:
  // The edge: a + kSlant b = kOffset (mm on the plane z = 0), with a = x upright, a = y - 60 lying.
  static constexpr double kSlant = 0.25;
  static constexpr double kOffset = 5.0;
  explicit SlantedEdgeCard(bool lying) : lying_(lying) {}
  Eigen::Vector3d onEdge(double b) const {
    const double a = kOffset - kSlant * b;
    return lying_ ? Eigen::Vector3d(b, a + 60.0, 0.0) : Eigen::Vector3d(a, b, 0.0);
  }
  std::optional<qv::sim::SurfaceHit> intersect(const qv::sim::Ray& ray, double tMin, double tMax) const override {
    if (ray.direction.z() == 0.0) return std::nullopt;
    const double t = -ray.origin.z() / ray.direction.z();
    const Eigen::Vector3d p = ray.origin + t * ray.direction;
    if (t <= tMin || t >= tMax || std::fabs(p.x()) > 60.0 || p.y() < 10.0 || p.y() > 110.0) return std::nullopt;
    qv::sim::SurfaceHit hit;
    hit.t = t;
    hit.normal = Eigen::Vector3d(0.0, 0.0, ray.direction.z() < 0.0 ? 1.0 : -1.0);
    const double a = lying_ ? p.y() - 60.0 : p.x();
    const double b = lying_ ? p.x() : p.y();
    hit.reflectance = a + kSlant * b < kOffset ? Eigen::Vector3d(0.9, 0.9, 0.9) : Eigen::Vector3d(0.2, 0.2, 0.2);
    return hit;
  }
  double distanceToSurface(const Eigen::Vector3d& p) const override { return std::fabs(p.z()); }

private:
  bool lying_;
};

}  // namespace

// A sensor records each pixel's mean light, so the light summed along a row (or column) across an
// edge says where the edge crosses it, to a small part of a pixel; the lens's blur keeps each sum
// and mixes lines whose crossings move evenly. Sampled at pixel centres, edges move in whole pixels.
TEST(RendererEdges, AnEdgeInTheFrameLiesWhereTheGeometryPutsIt) {
  const ScannerModel model(ScannerDesign::ideal());
  for (const bool lying : {false, true}) {
    Scene scene;
    const auto card = std::make_shared<SlantedEdgeCard>(lying);
    scene.add(card);
    const FrameRenderer renderer(model, scene);
    // The edge's image: a straight line through the images of two of its points.
    const auto a = model.project(card->onEdge(lying ? -30.0 : 30.0), 0.0);
    const auto b = model.project(card->onEdge(lying ? 30.0 : 90.0), 0.0);
    ASSERT_TRUE(a && b);
    // Upright the edge is measured along rows (position x along row y), lying along columns.
    auto along = [&](const Eigen::Vector2d& p) { return lying ? p.y() : p.x(); };
    auto across = [&](const Eigen::Vector2d& p) { return lying ? p.x() : p.y(); };
    ASSERT_GT(std::fabs(across(*a) - across(*b)), 100.0);

    // Mean and worst error (px) of the crossings measured from a frame's green channel.
    auto crossingErrors = [&](const FrameState& state) {
      const qv::Data frame = renderer.render(state);
      auto level = [&](int line, int position) {
        return static_cast<double>(lying ? channel(frame, position, line, 1) : channel(frame, line, position, 1));
      };
      double sum = 0.0, worst = 0.0;
      int lines = 0;
      for (int line = static_cast<int>(std::min(across(*a), across(*b))) + 2; line < std::max(across(*a), across(*b)) - 2;
           ++line) {
        const double truth = along(*a) + (line - across(*a)) * (along(*b) - along(*a)) / (across(*b) - across(*a));
        const int first = static_cast<int>(truth) - 8, last = static_cast<int>(truth) + 8;
        // The two sides' levels, taken well clear of the edge; the shading is even this close.
        const double before = level(line, first - 2), after = level(line, last + 2);
        double covered = 0.0;
        for (int position = first; position <= last; ++position) covered += (level(line, position) - after) / (before - after);
        const double error = first - 0.5 + covered - truth;
        sum += error;
        worst = std::max(worst, std::fabs(error));
        ++lines;
      }
      return std::pair{sum / lines, worst};
    };
    FrameState state;
    state.ambient = 0.8;
    // Exact to what rounding the frame to whole grey levels leaves of each line's sum. Down the
    // card the shading fades by about a sixtieth of a level a row, which the side levels taken
    // 10 px from the edge leave in the columns' sums: about 0.006 px.
    const auto [mean, worst] = crossingErrors(state);
    EXPECT_LT(std::fabs(mean), lying ? 0.01 : 0.003) << (lying ? "lying" : "upright");
    EXPECT_LT(worst, 0.05) << (lying ? "lying" : "upright");
    state.areaSamples = 1;
    state.lensBlur_px = 0.0;
    EXPECT_GT(crossingErrors(state).second, 0.4) << "the measure tells a stepped edge from an exact one";
  }
}

TEST(RendererShadows, AnObjectBetweenTheLaserAndTheBedShadowsTheLine) {
  const ScannerModel model(ScannerDesign::ideal());
  const Scene open;
  Scene blocked;
  // A ball on the way from laser 1's emitter to the bed's centre, a third of the way along.
  const Eigen::Vector3d emitter = model.laserPlane_world(0, 0.0).emitter;
  blocked.add(std::make_shared<qv::sim::SphereObject>(emitter * (2.0 / 3.0), 12.0, Eigen::Vector3d(0.9, 0.9, 0.9)));
  const FrameRenderer openRenderer(model, open);
  const FrameRenderer blockedRenderer(model, blocked);
  FrameState state;
  state.laserOn[0] = true;
  std::map<int, double> openLine;
  for (const auto& c : openRenderer.laserLine(state, 0)) openLine[c.row] = c.x_px;
  std::map<int, double> blockedLine;  // every row the line still lights, on the bed or the ball
  for (const auto& c : blockedRenderer.laserLine(state, 0)) blockedLine[c.row] = c.x_px;
  ASSERT_GT(openLine.size(), 100u);

  FrameState dark = state;
  dark.laserOn[0] = false;
  const qv::Data openOff = openRenderer.render(dark);
  const qv::Data openOn = openRenderer.render(state);
  const qv::Data blockedOff = blockedRenderer.render(dark);
  const qv::Data blockedOn = blockedRenderer.render(state);
  int shadowed = 0;
  for (const auto& [row, x] : openLine) {
    // The lens spreads a lit row's light over the rows beside it.
    const auto lit = blockedLine.lower_bound(row - 3);
    if (lit != blockedLine.end() && lit->first <= row + 3) continue;
    const int column = static_cast<int>(std::lround(x));
    // Only rows where the bed is still seen there (not hidden behind the ball).
    const auto hit = blockedRenderer.castPixel(column, row, state);
    if (!hit || hit->hit.objectId != 0) continue;
    ++shadowed;
    EXPECT_GT(channel(openOn, row, column, 2) - channel(openOff, row, column, 2), 0) << row;
    EXPECT_EQ(channel(blockedOn, row, column, 2), channel(blockedOff, row, column, 2)) << row;
  }
  EXPECT_GT(shadowed, 10);
}
