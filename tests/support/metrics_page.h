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

// The sum of a family's samples over all its labels, -1 when the page has none.
inline double familySum(const QMap<QString, double>& samples, const QString& family)
{
    double sum = -1;
    for (auto it = samples.begin(); it != samples.end(); ++it) {
        if (it.key() == family || it.key().startsWith(family + QLatin1Char('{')))
            sum = qMax(sum, 0.0) + it.value();
    }
    return sum;
}
