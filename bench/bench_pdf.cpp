// Time to build the PDF registration document for 1,000 rows, against two
// baselines measured in the same run on the same rows: laying the document
// out without drawing it (the measuring half), and rendering the rows as
// plain text with exportText.
//
// Usage: bench_pdf [rows] [write-the-document-to.pdf]
#include "export/exportpdf.h"
#include "export/exporttext.h"

#include "benchresult.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>

#include <algorithm>
#include <cstdio>
#include <functional>

static QList<FileResult> sampleRows(int count)
{
    static const ResultKind kinds[] = { ResultKind::registered, ResultKind::found, ResultKind::valid,
        ResultKind::notFound, ResultKind::invalid, ResultKind::error };
    QList<FileResult> rows;
    for (int i = 0; i < count; ++i) {
        const QString digest
            = QString::fromLatin1(QCryptographicHash::hash(QByteArray::number(i), QCryptographicHash::Sha256).toHex());
        FileResult row;
        row.path = QStringLiteral("/home/ada/projects/contracts/2026/signed-agreement-%1.pdf")
                       .arg(i, 4, 10, QLatin1Char('0'));
        row.sha256 = digest;
        row.receiptId = QStringLiteral("rcpt-%1-7c4e-4f1a-9a55-0b6f%2").arg(i, 6, 10, QLatin1Char('0')).arg(i % 97);
        row.createdAt = QStringLiteral("2026-12-06T09:15:%1Z").arg(i % 60, 2, 10, QLatin1Char('0'));
        row.scope = QStringLiteral("global");
        row.kind = kinds[i % 6];
        row.status = ResultKinds::passes(row.kind) ? QStringLiteral("Registered") : QStringLiteral("Error: HTTP 500: ");
        row.merkle = i % 3 == 0 ? QString() : digest;
        rows.append(row);
    }
    return rows;
}

// The best of a few runs, in milliseconds.
static double bestOf(int runs, const std::function<void()> &work)
{
    double best = 1e300;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer t;
        t.start();
        work();
        best = std::min(best, t.nsecsElapsed() / 1e6);
    }
    return best;
}

int main(int argc, char **argv)
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const int count = argc > 1 ? QByteArray(argv[1]).toInt() : 1000;
    const QList<FileResult> rows = sampleRows(count);
    const QString title = ExportPDF::registrationTitle();
    const QDateTime now = QDateTime::currentDateTime();

    // Warm the font caches once so every measured run starts alike.
    QByteArray pdf = ExportPDF::makeDocument(rows.mid(0, 10), title, now);

    qsizetype textSize = 0;
    const double textMs = bestOf(5, [&] { textSize = exportText(rows, ExportFormat::text)->size(); });
    int pages = 0;
    const double layoutMs = bestOf(3, [&] {
        const ExportPDF::FontMeasurer measurer;
        pages = ExportPDF::layOut(rows, title, ExportPDF::stampText(now, QLocale()), measurer).pageCount;
    });
    const double documentMs = bestOf(3, [&] { pdf = ExportPDF::makeDocument(rows, title, now); });

    std::printf("pdf: %d entries, %d pages, %lld bytes\n", count, pages, static_cast<long long>(pdf.size()));
    std::printf("pdf: document %.1f ms  layout only %.1f ms  text rendering %.2f ms (%lld chars)\n", documentMs,
        layoutMs, textMs, static_cast<long long>(textSize));
    std::printf("pdf: ratio document/layout-only %.2f  document/text-rendering %.0f\n", documentMs / layoutMs,
        documentMs / textMs);

    printResult(QStringLiteral("PDF build, %1 entries (%2 pages)").arg(count).arg(pages),
        QStringLiteral("%1 ms").arg(documentMs, 0, 'f', 1),
        QStringLiteral("layout only %1 ms; text export %2 ms").arg(layoutMs, 0, 'f', 1).arg(textMs, 0, 'f', 2));

    if (argc > 2) {
        QFile out(QString::fromLocal8Bit(argv[2]));
        if (!out.open(QIODevice::WriteOnly) || out.write(pdf) != pdf.size()) {
            std::fprintf(stderr, "pdf: cannot write %s\n", argv[2]);
            return 1;
        }
    }
    return pdf.isEmpty() ? 1 : 0;
}
