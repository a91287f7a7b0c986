#include "app/commandline.h"

const char TarvelloHelpText[] =
    "Usage: tarvello [--data-dir DIR] [Qt options]\n"
    "       tarvello --convert DIR [--dry-run]\n"
    "       tarvello --help | --version\n"
    "\n"
    "The Tarvello control centre for motorised lifting devices on one serial bus.\n"
    "\n"
    "Options:\n"
    "  --data-dir DIR   the data directory: the folder that holds DB.ini, SysSet.DB and the\n"
    "                   register files (the DFiles folder itself); created when missing\n"
    "  --convert DIR    take the Paradox tables of the data directory DIR over, without a window\n"
    "  --dry-run        with --convert: report what would be converted and change nothing\n"
    "  --help           show this text and exit\n"
    "  --version        show the version and exit\n"
    "\n"
    "Without --data-dir the data directory is DFiles in the working directory when it holds\n"
    "one, else $XDG_DATA_HOME/tarvello/DFiles (by default ~/.local/share/tarvello/DFiles).\n"
    "Qt's own options (-platform NAME, -style NAME, -reverse, ...) are passed on to Qt.\n";

namespace {

// Options QApplication takes itself, with one or two leading dashes.
const QStringList QtOptionsWithValue { QStringLiteral("platform"), QStringLiteral("platformpluginpath"),
    QStringLiteral("platformtheme"), QStringLiteral("plugin"), QStringLiteral("style"), QStringLiteral("stylesheet"),
    QStringLiteral("session"), QStringLiteral("display"), QStringLiteral("geometry"), QStringLiteral("qwindowgeometry"),
    QStringLiteral("qwindowicon"), QStringLiteral("qwindowtitle") };
const QStringList QtFlags { QStringLiteral("reverse"), QStringLiteral("widgetcount"), QStringLiteral("nograb"),
    QStringLiteral("dograb"), QStringLiteral("sync") };

} // namespace

CommandLine ParseCommandLine(const QStringList& input)
{
    CommandLine c;
    auto usage = [&c](const QString& why) {
        c.action = CommandLine::Usage;
        c.error = why;
        return c;
    };
    // "--opt=value" is the same as "--opt value".
    QStringList args;
    for (const QString& a : input) {
        const qsizetype eq = a.indexOf(QLatin1Char('='));
        if (a.startsWith(QLatin1String("--")) && eq > 2)
            args << a.left(eq) << a.mid(eq + 1);
        else
            args << a;
    }
    bool help = false, version = false, convert = false;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& a = args[i];
        auto value = [&]() -> const QString* {
            return i + 1 < args.size() ? &args[++i] : nullptr;
        };
        if (a == QLatin1String("--help") || a == QLatin1String("-h")) {
            help = true;
        } else if (a == QLatin1String("--version")) {
            version = true;
        } else if (a == QLatin1String("--data-dir") || a == QLatin1String("--convert")) {
            const QString* v = value();
            if (!v || v->isEmpty())
                return usage(QStringLiteral("%1 needs a directory").arg(a));
            (a == QLatin1String("--convert") ? c.convertDir : c.dataDir) = *v;
            convert = convert || a == QLatin1String("--convert");
        } else if (a == QLatin1String("--dry-run")) {
            c.dryRun = true;
        } else if (a.startsWith(QLatin1Char('-')) && a.size() > 1) {
            const QString name = a.mid(a.startsWith(QLatin1String("--")) ? 2 : 1).section(QLatin1Char('='), 0, 0);
            if (QtOptionsWithValue.contains(name)) {
                if (!a.contains(QLatin1Char('=')))
                    ++i; // its value goes to Qt as well
            } else if (!QtFlags.contains(name)) {
                return usage(QStringLiteral("unknown option %1").arg(a));
            }
        }
        // Anything else is left for Qt, as it always was.
    }
    if (help) c.action = CommandLine::Help;
    else if (version) c.action = CommandLine::Version;
    else if (convert && !c.dataDir.isEmpty()) return usage(QStringLiteral("--convert names its directory itself; leave out --data-dir"));
    else if (convert) c.action = CommandLine::Convert;
    else if (c.dryRun) return usage(QStringLiteral("--dry-run goes with --convert only"));
    return c;
}
