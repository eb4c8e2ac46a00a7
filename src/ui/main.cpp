#include "ui/mainwindow.h"

#include <QApplication>
#include <QIcon>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Nivet Timestamping"));
    QApplication::setApplicationDisplayName(QStringLiteral("Nivet Timestamping"));
    QApplication::setDesktopFileName(QStringLiteral("nivet-timestamping"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/nivet-timestamping.svg")));

    MainWindow window;
    window.resize(1000, 700);
    window.show();
    return app.exec();
}
