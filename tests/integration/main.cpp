// Integration tests need a QGuiApplication (image readers, painters,
// clipboard). Without a display they draw offscreen, which also lets test
// discovery list the tests on a headless machine.
#include <QGuiApplication>

#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    ::testing::InitGoogleTest(&argc, argv);
    QGuiApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
