#include "service_log.h"

#include "app/logger.h"

#include <QCoreApplication>

#include <cstdio>

void begin_service_log(logger& log, const QString& path)
{
    if (path.isEmpty())
        std::fputs("no log file given (-l \"\"): log lines are lost\n", stderr);
    log.set_level(3);
    log_line(log, 3) << "###START### version: " << QCoreApplication::applicationVersion();
}
