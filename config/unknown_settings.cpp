#include "unknown_settings.h"

#include <QSet>

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace {

// The longest key or section a warning names: every name shardex reads is
// far shorter, and a longer one is no typo of one. It also bounds the work
// of the suggestion below, which grows with the name's length.
constexpr int longest_shown_name = 64;

// Edits (insert, delete, replace, swap of two neighbours) that turn one text
// into the other, letter case ignored. Only the last three rows of the table
// are kept: a swap looks two rows back.
int distance(const QString& a_in, const QString& b_in)
{
    const QString a = a_in.toLower();
    const QString b = b_in.toLower();
    const int n = a.size();
    const int m = b.size();
    std::vector<int> two_back(size_t(m + 1));
    std::vector<int> previous(size_t(m + 1));
    std::vector<int> current(size_t(m + 1));
    for (int j = 0; j <= m; ++j)
        previous[size_t(j)] = j;
    for (int i = 1; i <= n; ++i) {
        current[0] = i;
        for (int j = 1; j <= m; ++j) {
            const size_t y = size_t(j);
            const int cost = a.at(i - 1) == b.at(j - 1) ? 0 : 1;
            current[y] = std::min({previous[y] + 1, current[y - 1] + 1, previous[y - 1] + cost});
            if (i > 1 && j > 1 && a.at(i - 1) == b.at(j - 2) && a.at(i - 2) == b.at(j - 1))
                current[y] = std::min(current[y], two_back[y - 2] + 1);
        }
        std::swap(two_back, previous);
        std::swap(previous, current);
    }
    return previous[size_t(m)];
}

// The candidate nearest to the name, when it is close enough to be what the
// name was meant to be: at most two edits, and at most a third of its length
// (so that "mode" and "node" are close, "mode" and "path" are not). Names
// that differ in length by more than that are not compared.
QString nearest(const QString& name, const QStringList& candidates)
{
    QString best;
    int best_distance = 0;
    for (const QString& candidate : candidates) {
        const int allowed = std::min(2, std::max(1, int(candidate.size()) / 3));
        if (std::abs(int(name.size()) - int(candidate.size())) > allowed)
            continue;
        const int d = distance(name, candidate);
        if (d <= allowed && (best.isEmpty() || d < best_distance)) {
            best = candidate;
            best_distance = d;
        }
    }
    return best;
}

// Whether a key or section, as the file writes it, may be named in a
// warning: not when it is longer than any name, nor when it holds "://" or
// '@', as a URL pasted as a line of its own does (its key runs up to the
// first '=', often in the virtual host, and holds the password).
bool may_be_shown(const QStringRef& raw, const QString& name)
{
    return name.size() <= longest_shown_name && !raw.contains(QLatin1String("://"))
           && !raw.contains(QLatin1Char('@'));
}

// A key or section as QSettings names it: '\' separates like '/', blanks
// around the parts and empty parts go. Built in one pass: the text may be
// a line of megabytes.
QString normalised(const QStringRef& raw)
{
    QString out;
    int start = 0;
    for (int i = 0; i <= raw.size(); ++i) {
        if (i < raw.size() && raw.at(i) != QLatin1Char('/') && raw.at(i) != QLatin1Char('\\'))
            continue;
        const QStringRef part = raw.mid(start, i - start).trimmed();
        if (!part.isEmpty()) {
            if (!out.isEmpty())
                out += QLatin1Char('/');
            out += part;
        }
        start = i + 1;
    }
    return out;
}

// A line whose value goes on in the next one: it ends in an odd number of
// '\' (an even number are escaped backslashes).
bool continues(const QStringRef& line)
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
    QSet<QString> given; // what out holds: a file of many lines is not searched line by line
    const auto add = [&out, &given](const QString& text) {
        if (!given.contains(text)) {
            given.insert(text);
            out << text;
        }
    };
    // Whole: QString::fromUtf8(QByteArray) would stop at a NUL byte.
    QString text = QString::fromUtf8(content.constData(), content.size());
    if (text.startsWith(QChar(0xFEFF)))
        text.remove(0, 1);
    QString section;             // "" before the first section and under [General]
    bool section_ignored = false; // a section shardex does not know
    bool continued = false;       // the previous line's value goes on
    // Each line is read where it lies in the text, without a copy.
    for (int start = 0, number = 1; start <= text.size(); ++number) {
        int end = text.indexOf(QLatin1Char('\n'), start);
        if (end < 0)
            end = text.size();
        const QStringRef line = text.midRef(start, end - start).trimmed();
        start = end + 1;
        const QString where = QStringLiteral("line %1: ").arg(number);
        if (continued) {
            continued = continues(line);
            continue;
        }
        if (line.isEmpty() || line.startsWith(QLatin1Char(';')) || line.startsWith(QLatin1Char('#')))
            continue;
        if (line.startsWith(QLatin1Char('['))) {
            // As QSettings reads it: up to the ']', or the line's end without one.
            const int close = line.indexOf(QLatin1Char(']'));
            const QStringRef raw_section = line.mid(1, close < 0 ? -1 : close - 1);
            section = normalised(raw_section);
            if (section == QLatin1String("General"))
                section.clear();
            else if (section == QLatin1String("%General"))
                section = QStringLiteral("General");
            section_ignored = !section.isEmpty() && !sections.contains(section);
            if (!section_ignored)
                continue;
            const QString suggestion = may_be_shown(raw_section, section) ? nearest(section, sections) : QString();
            if (suggestion.isEmpty())
                add(where + QStringLiteral("not a section of shardex; its keys are ignored"));
            else
                add(QStringLiteral("[%1]: not a section of shardex (did you mean %2?); its keys are ignored")
                        .arg(section, suggestion));
            continue;
        }
        const int equals = line.indexOf(QLatin1Char('='));
        const QStringRef raw_key = equals > 0 ? line.left(equals) : QStringRef();
        const QString key = normalised(raw_key);
        if (key.isEmpty()) {
            add(where + QStringLiteral("not a key=value line, a [section] or a comment; ignored"));
            continue;
        }
        continued = continues(line);
        const QString full = section.isEmpty() ? key : section + QLatin1Char('/') + key;
        if (section_ignored || keys.contains(full))
            continue;
        const QString suggestion = may_be_shown(raw_key, key) ? suggest_key(section, key, known_keys) : QString();
        if (suggestion.isEmpty())
            add(where + QStringLiteral("not a setting of shardex; ignored"));
        else
            add(QStringLiteral("%1: not a setting of shardex (did you mean %2?); ignored").arg(full, suggestion));
    }
    return out;
}
