#include "app/check_command.h"
#include "app/command_line.h"
#include "app/event_dispatcher.h"
#include "app/logger.h"
#include "app/metrics_endpoint.h"
#include "app/service_lifecycle.h"
#include "app/service_log.h"
#include "app/unix_signals.h"
#include "config/rabbit_config.h"
#include "router/rabbit_connector.h"

#include <QCoreApplication>

int main(int argc, char* argv[])
{
    use_qt_event_dispatcher();
    QCoreApplication app(argc, argv);
    const CommandLine args = read_command_line(app);
    if (args.check)
        return run_check(args.settingsPath, args.logGiven ? args.logPath : QString());

    // First: a stop asked for during the start is taken once the event loop runs.
    UnixSignals unixSignals;

    RabbitConfig settings(args.settingsPath);
    logger log(args.logPath, QString()); // says on stderr when the file cannot be opened
    begin_service_log(log, args.logPath);
    RabbitConnector router(settings, log, &app);
    ServiceLifecycle service(app, router, settings, log);
    service.takeRequests(unixSignals, args.settingsPath);
    MetricsEndpoint endpoint(router, log);
    return service.run();
}
