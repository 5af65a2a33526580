// Notification delivery by name and sender, and removal.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/NotificationCenter.h"

TEST(NotificationCenter, DeliversByNameAndSenderOnThePostingThread) {
  qv::NotificationCenter center;
  int deviceA = 0, deviceB = 0;
  std::vector<std::string> seen;
  auto fromA = center.addObserver("QVLINotification", &deviceA, [&](const qv::Notification& n) {
    const auto* data = n.userInfo.at("SentData").data();
    seen.push_back("A:" + std::string(data->begin(), data->end()));
  });
  auto any = center.addObserver("QVLINotification", nullptr, [&](const qv::Notification& n) {
    seen.push_back(n.object == &deviceB ? "any:B" : "any:A");
  });
  auto other = center.addObserver("Other", nullptr, [&](const qv::Notification&) { seen.push_back("other"); });

  center.post("QVLINotification", &deviceA, {{"SentData", qv::Data{'H', '\n'}}});
  center.post("QVLINotification", &deviceB);
  EXPECT_EQ(seen, (std::vector<std::string>{"A:H\n", "any:A", "any:B"}));
  (void)fromA;
  (void)any;
  (void)other;
}

TEST(NotificationCenter, RemovedObserversAreNotCalledEvenLaterInTheSameDelivery) {
  qv::NotificationCenter center;
  int first = 0, second = 0;
  qv::NotificationCenter::Token secondToken = 0;
  center.addObserver("N", nullptr, [&](const qv::Notification&) {
    ++first;
    center.removeObserver(secondToken);
  });
  secondToken = center.addObserver("N", nullptr, [&](const qv::Notification&) { ++second; });
  center.post("N");
  center.post("N");
  EXPECT_EQ(first, 2);
  EXPECT_EQ(second, 0);
}

TEST(NotificationCenter, ARegistrationRemovesItsObserverWhenItGoesAway) {
  qv::NotificationCenter center;
  int calls = 0;
  {
    qv::ObserverRegistration registration(center,
                                          center.addObserver("N", nullptr, [&](const qv::Notification&) { ++calls; }));
    center.post("N");
  }
  center.post("N");
  EXPECT_EQ(calls, 1);
}

TEST(NotificationCenter, ObserversMayPostAndObserveWhileBeingCalled) {
  qv::NotificationCenter center;
  std::vector<std::string> seen;
  center.addObserver("outer", nullptr, [&](const qv::Notification&) {
    seen.push_back("outer");
    center.addObserver("inner", nullptr, [&](const qv::Notification&) { seen.push_back("inner"); });
    center.post("inner");
  });
  center.post("outer");
  EXPECT_EQ(seen, (std::vector<std::string>{"outer", "inner"}));
}
