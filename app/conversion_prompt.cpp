#include "app/conversion_prompt.h"

#include "audit/auditlog.h"
#include "common/state.h"

#include "ui/messages.h"
#include "common/texts.h"
#include "register/conversion.h"

#include <QDir>

#include <cstdio>

namespace {

constexpr int ProblemsShown = 10;

constexpr Text AskText{
    "数据目录 %1 是旧版本的 Paradox 格式（%2）。\n"
    "是否将整个数据目录（全部 12 个场景和密码文件）转换为新格式？原文件将以 .paradox 为名保留在原处。\n"
    "选择“否”将退出程序，不作任何改动。",
    "The data directory %1 is in the Paradox format of earlier versions (%2).\n"
    "Convert the whole data directory (all 12 scenes and the password file) to the new format? The original "
    "files are kept beside them with .paradox in their names.\n"
    "No ends the program without changing anything."};
constexpr Text DoneText{"数据目录 %1 已转换：\n%2", "The data directory %1 was converted:\n%2"};
constexpr Text RefusedText{"数据目录 %1 无法转换，未作任何改动：\n%2",
                           "The data directory %1 cannot be converted; nothing was changed:\n%2"};
constexpr Text MoreText{"……另有 %1 处问题", "... and %1 more problems"};
constexpr Text NothingText{"%1 中没有需要转换的 Paradox 表。", "%1 holds no Paradox table to convert."};
constexpr Text NotConvertedText{"未转换任何文件。", "Nothing was converted."};
constexpr Text DryRunText{"（仅检查，未作任何改动）", "(dry run: nothing was changed)"};

QString ProblemList(const TConversion& conversion, int16_t language)
{
    QStringList lines;
    for (size_t i = 0; i < conversion.problems.size() && i < ProblemsShown; ++i)
        lines << conversion.problems[i].Text(language);
    if (conversion.problems.size() > ProblemsShown)
        lines << pick(MoreText, language).arg(conversion.problems.size() - ProblemsShown);
    return lines.join(QLatin1Char('\n'));
}

}  // namespace

bool OfferParadoxConversion(const QString& dataDir, int scene, QWidget* parent,
                            const std::function<void(const QString& detail)>& recorded)
{
    if (scene < 1 || scene > 12)
        scene = 1;
    try {
        FinishInterruptedConversion(dataDir);
        const QStringList found = ParadoxTablesOfScene(dataDir, scene);
        if (found.isEmpty())
            return true;
        if (!AskConfirmation(parent, pick(AskText).arg(dataDir, found.join(QLatin1String(", ")))))
            return false;
        const TConversion conversion = ConvertParadoxDirectory(dataDir);
        if (!conversion.problems.empty()) {
            ShowError(parent, pick(RefusedText).arg(dataDir, ProblemList(conversion, currentLanguage())));
            return false;
        }
        if (recorded)
            recorded(ConversionSummary(conversion, 1));
        ShowInformation(parent, pick(DoneText).arg(dataDir, ConversionSummary(conversion, currentLanguage())));
        return true;
    } catch (const ETableError& e) {
        ShowError(parent, e.Text(currentLanguage()));
        return false;
    }
}

int RunConversionCommand(const QString& dataDir, bool dryRun)
{
    // Messages of the command are in English, as a script reads them.
    constexpr int16_t english = 1;
    const auto out = [](FILE* stream, const QString& text) {
        std::fprintf(stream, "%s\n", text.toLocal8Bit().constData());
    };
    try {
        if (!QDir(dataDir).exists()) {
            out(stderr, QStringLiteral("%1: no such directory").arg(dataDir));
            return 1;
        }
        if (!dryRun && FinishInterruptedConversion(dataDir) != TResumed::Nothing)
            out(stdout, QStringLiteral("%1: an interrupted conversion was finished").arg(dataDir));
        const TConversion conversion = ConvertParadoxDirectory(dataDir, dryRun);
        if (!conversion.problems.empty()) {
            for (const TParadoxProblem& p : conversion.problems)
                out(stderr, p.Text(english));
            out(stderr, pick(NotConvertedText, english));
            return 1;
        }
        if (conversion.tables.empty()) {
            out(stdout, pick(NothingText, english).arg(dataDir));
            return 0;
        }
        out(stdout, ConversionSummary(conversion, english));
        if (dryRun) {
            out(stdout, pick(DryRunText, english));
            return 0;
        }
        AuditLog audit(dataDir);
        AuditEntry entry;
        entry.level = ModeNone; // nobody logs in for it
        entry.source = QStringLiteral("window");
        entry.action = QStringLiteral("convert");
        entry.detail = QStringLiteral("from the command line (tarvello --convert): ") + ConversionSummary(conversion, english);
        audit.record(std::move(entry));
        return 0;
    } catch (const ETableError& e) {
        out(stderr, e.Text(english));
        return 2;
    }
}
