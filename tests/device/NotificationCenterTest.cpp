#include "device/NotificationCenter.h"

#include <gtest/gtest.h>
#include <thread>

using namespace kestrap;

TEST(NotificationCenter, DeliversSynchronouslyByNameOnThePostingThread)
{
    NotificationCenter center;
    std::vector<QString> seen;
    std::thread::id deliveredOn;
    const auto token = center.addObserver(msgNewPhoneConnected, [&](const DeviceNotification& n) {
        seen.push_back(n.name);
        deliveredOn = std::this_thread::get_id();
    });
    center.addObserver(msgPodDisconnected, [&](const DeviceNotification& n) { seen.push_back(n.name); });

    std::thread poster([&] { center.post(msgNewPhoneConnected, nullptr); });
    const auto posterId = poster.get_id();
    poster.join();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(deliveredOn, posterId);

    center.removeObserver(token);
    center.post(msgNewPhoneConnected, nullptr);
    center.post(msgPodDisconnected, nullptr);
    EXPECT_EQ(seen, (std::vector<QString> {"msgNewPhoneConnected", "msgPodDisconnected"}));
}

TEST(NotificationCenter, ObserverMayUnregisterAndPostFromInsideADelivery)
{
    NotificationCenter center;
    int calls = 0;
    NotificationCenter::Token token = 0;
    token = center.addObserver(msgPhoneDisconnected, [&](const DeviceNotification&) {
        ++calls;
        center.removeObserver(token);
        center.post(msgPhoneDisconnected, nullptr);  // no longer observed: no recursion
    });
    center.post(msgPhoneDisconnected, nullptr);
    EXPECT_EQ(calls, 1);
}
