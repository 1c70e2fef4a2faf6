#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/NotificationCenter.h"

namespace {

TEST(NotificationCenterTest, DeliversToObserversOfTheNameInOrderBeforeReturning) {
    NotificationCenter center;
    std::vector<std::string> heard;
    center.addObserver("saveCX", [&] { heard.push_back("first"); });
    center.addObserver("volumeUp", [&] { heard.push_back("volume"); });
    center.addObserver("saveCX", [&] { heard.push_back("second"); });

    center.post("saveCX");
    EXPECT_EQ(heard, (std::vector<std::string>{"first", "second"}));
    center.post("nobody");
    center.post("saveCX2");
    EXPECT_EQ(heard.size(), 2u);
}

TEST(NotificationCenterTest, ObserverAddedDuringAPostHearsOnlyLaterPosts) {
    NotificationCenter center;
    int late = 0;
    center.addObserver("addTrack", [&] {
        // Enough registrations to force the observer list to grow while it is walked.
        for (int i = 0; i < 64; ++i) center.addObserver("addTrack", [&] { ++late; });
    });
    center.post("addTrack");
    EXPECT_EQ(late, 0);
    center.post("addTrack");
    EXPECT_EQ(late, 64);
}

TEST(NotificationCenterTest, DefaultCenterIsOneObject) {
    EXPECT_EQ(&NotificationCenter::defaultCenter(), &NotificationCenter::defaultCenter());
}

}  // namespace
