// Main of the window tests: Qt's offscreen platform unless the caller chose one
// (gtest_discover_tests runs the binaries at build time, headless). The tests
// of the code without widgets use GoogleTest's own main and no QApplication.
#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>

int main(int argc, char** argv) {
    if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
