// main() for GoogleTest binaries that use the virtual printer: the umockdev preload guard first.
#include <gtest/gtest.h>

#include "support/virtual_printer.h"

int main(int argc, char** argv) {
    pvtest::requireUmockdevPreload(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
