#include "unknown_settings.h"

#include <QSet>

#include <algorithm>
#include <vector>

namespace {

// Edits (insert, delete, replace, swap of two neighbours) that turn one text
// into the other, letter case ignored.
int distance(const QString& a_in, const QString& b_in)
{
    const QString a = a_in.toLower();
    const QString b = b_in.toLower();
    const int n = a.size();
    const int m = b.size();
    std::vector<std::vector<int>> d(size_t(n + 1), std::vector<int>(size_t(m + 1)));
    for (int i = 0; i <= n; ++i)
        d[size_t(i)][0] = i;
    for (int j = 0; j <= m; ++j)
        d[0][size_t(j)] = j;
    for (int i = 1; i <= n; ++i) {
        for (int j = 1; j <= m; ++j) {
            const size_t x = size_t(i);
            const size_t y = size_t(j);
            const int cost = a.at(i - 1) == b.at(j - 1) ? 0 : 1;
            d[x][y] = std::min({d[x - 1][y] + 1, d[x][y - 1] + 1, d[x - 1][y - 1] + cost});
            if (i > 1 && j > 1 && a.at(i - 1) == b.at(j - 2) && a.at(i - 2) == b.at(j - 1))
                d[x][y] = std::min(d[x][y], d[x - 2][y - 2] + 1);
        }
    }
    return d[size_t(n)][size_t(m)];
}

// The candidate nearest to the name, when it is close enough to be what the
// name was meant to be: at most two edits, and at most a third of its length
// (so that "mode" and "node" are close, "mode" and "path" are not).
QString nearest(const QString& name, const QStringList& candidates)
{
    QString best;
    int best_distance = 0;
    for (const QString& candidate : candidates) {
        const int d = distance(name, candidate);
        const int allowed = std::min(2, std::max(1, int(candidate.size()) / 3));
        if (d <= allowed && (best.isEmpty() || d < best_distance)) {
            best = candidate;
            best_distance = d;
        }
    }
    return best;
}

// A key or section as QSettings names it: '\' separates like '/', blanks
// around the parts and empty parts go.
QString normalised(const QString& raw)
{
    QStringList parts;
    for (const QString& part : QString(raw).replace(QLatin1Char('\\'), QLatin1Char('/')).split(QLatin1Char('/'))) {
        const QString trimmed = part.trimmed();
        if (!trimmed.isEmpty())
            parts << trimmed;
    }
    return parts.join(QLatin1Char('/'));
}

// A line whose value goes on in the next one: it ends in an odd number of
// '\' (an even number are escaped backslashes).
bool continues(const QString& line)
{
    int count = 0;
    for (int i = line.size() - 1; i >= 0 && line.at(i) == QLatin1Char('\\'); --i)
        ++count;
    return count % 2 == 1;
}

QString last_part(const QString& key)
{
    return key.mid(key.lastIndexOf(QLatin1Char('/')) + 1);
}

// The known key a mistyped one in the section was meant to be: a close one
// of the section's keys (named relative to it), else a key of that name in
// the section or another one (named in full when in another).
QString suggest_key(const QString& section, const QString& key, const QStringList& known_keys)
{
    const QString prefix = section.isEmpty() ? QString() : section + QLatin1Char('/');
    QStringList own;
    for (const QString& known : known_keys)
        if (known.startsWith(prefix))
            own << known.mid(prefix.size());
    QString found = nearest(key, own);
    if (!found.isEmpty())
        return found;
    const QString name = last_part(key);
    for (const QString& relative : own)
        if (last_part(relative).compare(name, Qt::CaseInsensitive) == 0)
            return relative;
    for (const QString& known : known_keys)
        if (last_part(known).compare(name, Qt::CaseInsensitive) == 0)
            return known;
    return QString();
}

} // namespace

QStringList unknown_settings(const QByteArray& content, const QStringList& known_keys)
{
    QSet<QString> keys;
    QStringList sections; // every section a known key lies in: receiver, receiver/bindings...
    for (const QString& key : known_keys) {
        keys.insert(key);
        for (int slash = key.indexOf(QLatin1Char('/')); slash > 0; slash = key.indexOf(QLatin1Char('/'), slash + 1))
            if (!sections.contains(key.left(slash)))
                sections << key.left(slash);
    }

    QStringList out;
    const auto add = [&out](const QString& text) {
        if (!out.contains(text))
            out << text;
    };
    // Whole: QString::fromUtf8(QByteArray) would stop at a NUL byte.
    QString text = QString::fromUtf8(content.constData(), content.size());
    if (text.startsWith(QChar(0xFEFF)))
        text.remove(0, 1);
    const QStringList lines = text.split(QLatin1Char('\n'));
    QString section;             // "" before the first section and under [General]
    bool section_ignored = false; // a section shardex does not know
    bool continued = false;       // the previous line's value goes on
    for (int i = 0; i < lines.size(); ++i) {
        const QString line = lines[i].trimmed();
        const QString where = QStringLiteral("line %1: ").arg(i + 1);
        if (continued) {
            continued = continues(line);
            continue;
        }
        if (line.isEmpty() || line.startsWith(QLatin1Char(';')) || line.startsWith(QLatin1Char('#')))
            continue;
        if (line.startsWith(QLatin1Char('['))) {
            // As QSettings reads it: up to the ']', or the line's end without one.
            const int close = line.indexOf(QLatin1Char(']'));
            section = normalised(line.mid(1, close < 0 ? -1 : close - 1));
            if (section == QLatin1String("General"))
                section.clear();
            else if (section == QLatin1String("%General"))
                section = QStringLiteral("General");
            section_ignored = !section.isEmpty() && !sections.contains(section);
            if (!section_ignored)
                continue;
            const QString suggestion = nearest(section, sections);
            if (suggestion.isEmpty())
                add(where + QStringLiteral("not a section of shardex; its keys are ignored"));
            else
                add(QStringLiteral("[%1]: not a section of shardex (did you mean %2?); its keys are ignored")
                        .arg(section, suggestion));
            continue;
        }
        const int equals = line.indexOf(QLatin1Char('='));
        const QString key = equals > 0 ? normalised(line.left(equals)) : QString();
        if (key.isEmpty()) {
            add(where + QStringLiteral("not a key=value line, a [section] or a comment; ignored"));
            continue;
        }
        continued = continues(line);
        const QString full = section.isEmpty() ? key : section + QLatin1Char('/') + key;
        if (section_ignored || keys.contains(full))
            continue;
        const QString suggestion = suggest_key(section, key, known_keys);
        if (suggestion.isEmpty())
            add(where + QStringLiteral("not a setting of shardex; ignored"));
        else
            add(QStringLiteral("%1: not a setting of shardex (did you mean %2?); ignored").arg(full, suggestion));
    }
    return out;
}
