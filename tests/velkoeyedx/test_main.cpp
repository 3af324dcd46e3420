// test_velkoeyedx: the viewer program's tests, in a GUI application. Those of
// the 3D window need a display (CTest runs them under Xvfb); those of the
// dialogs run offscreen.

#include <gtest/gtest.h>

#include <QApplication>
#include <clocale>
#include <cstdio>

#include "clients/velkoeyedx/velkoeyedxapp.h"

int main(int argc, char** argv) {
    // Left to the end of the process on purpose: destroying it closes the
    // display, which unloads the GL driver, and the driver's teardown leaves
    // blocks that LeakSanitizer reports under no library's name (the driver
    // is gone by then), so that no suppression could tell them from ours.
    new QApplication(argc, argv);
    // Line by line, so that a test that crashes leaves the log up to it: a
    // pipe or a file would otherwise hold the last few kilobytes back, and
    // an abort loses them.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    CVELKOEyeDXApp::NameSettings();
    std::setlocale(LC_NUMERIC, "C");
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
