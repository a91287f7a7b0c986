// The audit rows as CSV for a spreadsheet: RFC 4180 (CRLF line ends, a field with a comma, a
// quote or a line break quoted, quotes doubled), UTF-8 with a byte order mark so that a
// spreadsheet takes it as UTF-8, and no cell that a spreadsheet would take for a formula.
#include "auditlog.h"

#include "auditdb.h"

namespace {

QByteArray Cell(QString text)
{
    // =, +, - and @ start a formula; a tab or a carriage return in front hides one.
    static const QString formulaStart = QStringLiteral("=+-@\t\r");
    bool quote = false;
    if (!text.isEmpty() && formulaStart.contains(text.front())) {
        text.prepend(QLatin1Char('\''));
        quote = true;
    }
    if (quote || text.contains(QLatin1Char(',')) || text.contains(QLatin1Char('"')) || text.contains(QLatin1Char('\n'))
        || text.contains(QLatin1Char('\r'))) {
        text.replace(QLatin1Char('"'), QStringLiteral("\"\""));
        text = QLatin1Char('"') + text + QLatin1Char('"');
    }
    return text.toUtf8();
}

} // namespace

QString AuditLocalTime(const QDateTime& time)
{
    const QDateTime local = time.toLocalTime();
    return local.toOffsetFromUtc(local.offsetFromUtc()).toString(Qt::ISODateWithMs);
}

QByteArray AuditCsv(const std::vector<AuditRow>& rows)
{
    QByteArray out("\xEF\xBB\xBF" "time,level,source,user,action,detail,devices\r\n");
    for (const AuditRow& r : rows) {
        const QStringList cells { AuditLocalTime(r.time), AuditLevelName(r.level), r.source,
                                  r.user, r.action, r.detail, auditdb::DevicesText(r.devices) };
        for (qsizetype i = 0; i < cells.size(); ++i) {
            if (i > 0)
                out += ',';
            out += Cell(cells[i]);
        }
        out += "\r\n";
    }
    return out;
}
