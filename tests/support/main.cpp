#include <QCoreApplication>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    // Worker threads and timers need a main event loop, as in the program.
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
