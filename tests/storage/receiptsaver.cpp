// Saves receipts to one digest in a loop, one receipt per save, and prints the
// number of each save after it returned. Started by the reliability tests.
//
//   receiptsaver <digest> <id prefix> <count, 0 for endless> <source path>

#include "storage/receiptstore.h"

#include <QCoreApplication>
#include <QStringList>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 5) {
        std::fputs("usage: receiptsaver <digest> <id prefix> <count> <source path>\n", stderr);
        return 2;
    }
    const QString digest = args.at(1);
    const QString prefix = args.at(2);
    const qint64 count = args.at(3).toLongLong();
    const QString path = args.at(4);
    for (qint64 i = 0; count == 0 || i < count; ++i) {
        Receipt receipt;
        receipt.receiptId = prefix + QLatin1Char('-') + QString::number(i);
        receipt.hash = digest;
        receipt.scope = QStringLiteral("global");
        ReceiptStore::save(digest, { receipt }, path);
        std::printf("%lld\n", static_cast<long long>(i));
        std::fflush(stdout);
    }
    return 0;
}
