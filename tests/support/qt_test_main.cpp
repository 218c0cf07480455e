// main() for GoogleTest binaries that run windows against the virtual printer: the umockdev
// preload guard first, then the toolkit application (offscreen unless a platform is chosen).
#include <QApplication>

#include <gtest/gtest.h>

#include "support/virtual_printer.h"

int main(int argc, char** argv) {
    pvtest::requireUmockdevPreload(argc, argv);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
