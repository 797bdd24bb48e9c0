// Integration tests need a QGuiApplication (image readers, painters); ctest
// sets QT_QPA_PLATFORM=offscreen.
#include <QGuiApplication>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    QGuiApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
