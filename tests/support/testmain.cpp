#include "foundation/qhttp.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

int main(int argc, char* argv[])
{
    // Before anything that may make an exchange, gone after it.
    const THttpGlobal http;
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
