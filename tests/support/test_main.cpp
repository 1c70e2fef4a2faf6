#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>

// One main for every test binary: widget tests need a QApplication, and player end events travel
// through the Qt event loop.
int main(int argc, char** argv) {
    if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
