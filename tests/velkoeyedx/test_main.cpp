// test_velkoeyedx: the 3D window's tests, in a GUI application (they need a
// display: CTest runs them under Xvfb).

#include <gtest/gtest.h>

#include <QGuiApplication>
#include <clocale>

int main(int argc, char** argv) {
    // Left to the end of the process on purpose: destroying it closes the
    // display, which unloads the GL driver, and the driver's teardown leaves
    // blocks that LeakSanitizer reports under no library's name (the driver
    // is gone by then), so that no suppression could tell them from ours.
    new QGuiApplication(argc, argv);
    std::setlocale(LC_NUMERIC, "C");
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
