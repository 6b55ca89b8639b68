#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>

// The samples of a metrics page by name and labels: "shardex_rejected_total{requeue=\"true\"}" -> value.
inline QMap<QString, double> metricSamples(const QByteArray& page)
{
    QMap<QString, double> out;
    for (const QByteArray& line : page.split('\n')) {
        const int blank = line.lastIndexOf(' ');
        if (line.isEmpty() || line.startsWith('#') || blank < 0)
            continue;
        out.insert(QString::fromUtf8(line.left(blank)), line.mid(blank + 1).toDouble());
    }
    return out;
}
