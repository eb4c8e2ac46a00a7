#include "export/exportactions.h"
#include "export/exportpdf.h"

#include "testenv.h"

#include <QTemporaryDir>
#include <QtTest>

/// Without a GUI application no font can be loaded: the text exports still
/// work, and a PDF export fails visibly instead of leaving an empty file.
class TestExportWithoutGui : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;

private Q_SLOTS:
    void pdfFailsAndKeepsTheOldFile()
    {
        const QList<FileResult> rows { { QStringLiteral("/a"), {}, {}, {}, {}, QStringLiteral("Registered"), {},
            ResultKind::registered } };
        QVERIFY(ExportPDF::makeDocument(rows, ExportPDF::registrationTitle()).isEmpty());

        const QString path = m_dir.filePath(QStringLiteral("kept.pdf"));
        QVERIFY(writeFile(path, "%PDF- an earlier document"));
        QCOMPARE(saveExport(rows, ExportFormat::pdf, path),
            QStringLiteral("Export failed: The PDF document could not be created."));
        QCOMPARE(readFile(path), QByteArray("%PDF- an earlier document"));

        const QString text = m_dir.filePath(QStringLiteral("rows.txt"));
        QCOMPARE(saveExport(rows, ExportFormat::text, text), QStringLiteral("Exported TEXT → rows.txt"));
        QVERIFY(readFile(text).startsWith("File: /a\n"));
    }
};

QTEST_GUILESS_MAIN(TestExportWithoutGui)
#include "tst_exportwithoutgui.moc"
