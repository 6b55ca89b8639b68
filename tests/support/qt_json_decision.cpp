#include "qt_json_decision.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QJsonValue>

#include <cmath>
#include <limits>

JsonDecision qt_json_decision(const QByteArray& body)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError)
        return JsonDecision{false, -1};
    const QJsonObject object = doc.object(); // empty for a top-level array
    const auto it = object.constFind(QLatin1String("modem_id"));
    if (it == object.constEnd())
        return JsonDecision{true, -1};
    if (!it.value().isDouble())
        return JsonDecision{true, 0};
    const double d = it.value().toDouble();
    const bool integral = std::trunc(d) == d && d >= std::numeric_limits<qint32>::min()
                          && d <= std::numeric_limits<qint32>::max();
    return JsonDecision{true, integral ? qint32(d) : 0};
}
