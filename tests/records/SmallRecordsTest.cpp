// The small shared records: point, status, result set and monitor.
#include <gtest/gtest.h>

#include "platform/Clock.h"
#include "records/QVLAsyncMonitor.h"
#include "records/QVLPoint3D.h"
#include "records/QVLStatus.h"
#include "support/ManualClockScope.h"

TEST(Point3D, DescribesItsPositionWithTwoDecimals) {
  QVLPoint3D p;
  p.point3DX = 1.0f;
  p.point3DY = 2.5f;
  p.point3DZ = -3.25f;
  EXPECT_EQ(p.description(), "(1.00, 2.50, -3.25)");
  EXPECT_EQ(QVLPoint3D{}.description(), "(0.00, 0.00, 0.00)");
}

TEST(Status, StartsWithoutAProgressFigure) {
  auto status = QVLStatus::statusWithType(QVLStatusTypeScan);
  EXPECT_EQ(status->type(), 2);
  EXPECT_FLOAT_EQ(status->percentageComplete(), -1.0f);
  EXPECT_FALSE(status->hasProgress());
  EXPECT_TRUE(status->children().empty());
  status->setPercentageComplete(0.0f);
  EXPECT_TRUE(status->hasProgress());
}

TEST(Status, CarriesItsImage) {
  auto frame = std::make_shared<const qv::Data>(qv::Data{1, 2, 3});
  auto status = QVLStatus::statusWithType(QVLStatusTypeLaserImage, frame);
  EXPECT_EQ(status->type(), 7);
  EXPECT_EQ(status->image(), frame);
}

class MonitorTest : public ::testing::Test {
protected:
  qv::test::ManualClockScope manualClock_;
  std::shared_ptr<qv::ManualClock> clock_ = manualClock_.clock();
};

TEST_F(MonitorTest, ShowsTheElapsedTimeOnlyForOperationsOutstandingASecondOrMore) {
  QVLAsyncMonitor monitor("Rotate");
  EXPECT_EQ(monitor.activeCount(), 1);
  EXPECT_EQ(monitor.description(), "[1]Rotate");

  monitor.operationStarted();  // two outstanding, stamped now
  clock_->advanceSeconds(0.5);
  EXPECT_EQ(monitor.description(), "[2]Rotate");

  clock_->advanceSeconds(0.75);
  EXPECT_EQ(monitor.description(), "[2]Rotate (1.25sec)");

  monitor.setActiveCount(0);
  clock_->advanceSeconds(10);
  EXPECT_EQ(monitor.description(), "[0]Rotate");
}
