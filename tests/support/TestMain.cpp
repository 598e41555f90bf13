#include "support/TemporaryHome.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    murmurly::test::TemporaryHome home;
    QCoreApplication app(argc, argv);
    murmurly::test::isolateEachTest(home);
    return RUN_ALL_TESTS();
}
