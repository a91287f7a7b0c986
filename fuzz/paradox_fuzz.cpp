// The Paradox reader on arbitrary file bytes, as each of the three kinds of table. It must never
// crash; a table it reports no problem for must have rows that satisfy the rules it promises
// (IDs within 0 to 999 and unique, at most 16 groups, at least 3 passwords of at most 8 bytes).

#include "fuzz/input.h"
#include "fuzz/scratch.h"
#include "register/paradox.h"

#include <QByteArray>
#include <QFile>
#include <QString>

#include <cstdio>
#include <cstdlib>
#include <set>

namespace {

void need(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "paradox: %s\n", what);
        std::abort();
    }
}

QString scratchFile()
{
    static const ScratchDir dir(QStringLiteral("px"));
    return dir.file(QStringLiteral("Member1.DB"));
}

void checkRows(const TParadoxRead& read, TParadoxKind kind)
{
    if (!read.problems.empty()) {
        for (const TParadoxProblem& p : read.problems)
            need(!p.Text(0).isEmpty() && !p.Text(1).isEmpty(), "a problem without its text");
        return;
    }
    std::set<qint64> ids;
    for (const auto& row : read.rows) {
        if (kind == TParadoxKind::Passwords) {
            need(row.size() == 2, "a password row of the wrong width");
            continue;
        }
        need(row.size() == (kind == TParadoxKind::Devices ? 3u : 2u), "a row of the wrong width");
        const qint64 id = row[0].AsLargeInt();
        need(id >= 0 && id <= 999, "an ID out of range taken");
        need(ids.insert(id).second, "an ID taken twice");
    }
    if (kind == TParadoxKind::Groups)
        need(read.rows.size() <= 16, "more than 16 groups taken");
    if (kind == TParadoxKind::Passwords)
        need(read.rows.size() >= 3, "fewer than 3 passwords taken");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const QString path = scratchFile();
    {
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)
            || f.write(reinterpret_cast<const char*>(data), static_cast<qint64>(size)) != static_cast<qint64>(size))
            std::abort();
    }
    (void)IsParadoxTable(path);
    for (TParadoxKind kind : { TParadoxKind::Devices, TParadoxKind::Groups, TParadoxKind::Passwords })
        checkRows(ReadParadoxTable(path, kind, QStringLiteral("Member1.DB")), kind);
    return 0;
}
