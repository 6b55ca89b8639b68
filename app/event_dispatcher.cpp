#include "event_dispatcher.h"

#include <QByteArray>
#include <QtGlobal>

void use_qt_event_dispatcher()
{
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
}
