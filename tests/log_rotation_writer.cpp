// For the rotation test: writes COUNT numbered Error lines ("line N"), PER_TICK
// a millisecond, through the service's logger, and takes signals the way
// shardex does (UnixSignals to the event loop, SIGUSR1 reopens the log).
//
//     log_rotation_writer PATH COUNT PER_TICK
#include "app/logger.h"
#include "app/unix_signals.h"

#include <QCoreApplication>
#include <QTimer>

#include <csignal>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    UnixSignals unixSignals; // before the log exists: the test rotates once it does
    logger log(args.value(1), QString());
    QObject::connect(&unixSignals, &UnixSignals::received, &app, [&](int signal) {
        if (signal == SIGUSR1)
            log.reopen();
        else
            app.exit(2);
    });
    const int count = args.value(2).toInt();
    const int perTick = args.value(3).toInt();
    int next = 1;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, &app, [&] {
        for (int i = 0; i < perTick && next <= count; ++i)
            log_line(log, 1) << "line " << next++;
        if (next > count)
            app.quit();
    });
    tick.start(1);
    return app.exec();
}
