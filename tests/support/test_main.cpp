#include <QCoreApplication>

#include <gtest/gtest.h>

// Every test executable gets an application object, so that event loops,
// timers and sockets work as they do in the service.
int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    QCoreApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
