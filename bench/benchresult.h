#pragma once

// One machine-readable line per measure, collected by scripts/bench.sh into
// the summary table: RESULT, then measure, value, baseline, goal and verdict,
// separated by tabs.

#include <QByteArray>
#include <QString>

#include <cstdio>

/// The verdict column of a measure with a goal; a run whose work failed has none.
inline QString verdict(bool met, bool ran = true)
{
    return !ran ? QStringLiteral("RUN FAILED") : met ? QStringLiteral("met") : QStringLiteral("MISSED");
}

inline void printResult(const QString &measure, const QString &value, const QString &baseline,
    const QString &goal = QStringLiteral("—"), const QString &verdict = QStringLiteral("—"))
{
    const auto field = [](const QString &text) { return text.simplified().toUtf8(); };
    std::printf("RESULT\t%s\t%s\t%s\t%s\t%s\n", field(measure).constData(), field(value).constData(),
        field(baseline).constData(), field(goal).constData(), field(verdict).constData());
    std::fflush(stdout);
}
