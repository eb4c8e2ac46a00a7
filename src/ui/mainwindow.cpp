#include "ui/mainwindow.h"

#include "storage/configstore.h"
#include "ui/appcommandline.h"
#include "ui/appnotifications.h"
#include "ui/contentview.h"
#include "ui/defaultsview.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QMenuBar>
#include <QScreen>
#include <QShortcut>

#include <algorithm>

MainWindow::MainWindow(QWidget *parent, BatchRun::ServiceFactory service)
    : QMainWindow(parent)
    , m_content(new ContentView(this, std::move(service)))
    , m_notifications(new AppNotifications(this))
{
    setObjectName(QStringLiteral("mainWindow"));
    setWindowTitle(QStringLiteral("Nivet Timestamping"));
    setCentralWidget(m_content);
    connect(m_content, &ContentView::openSettingsRequested, this, &MainWindow::openSettings);
    connect(m_notifications, &AppNotifications::showDocs, m_content, &ContentView::showDocs);

    QMenu *file = menuBar()->addMenu(QStringLiteral("&File"));
    file->addAction(m_content->addFilesAction());
    file->addAction(m_content->verifyOfflineAction());
    QAction *settings = file->addAction(QStringLiteral("Settings…"), this, &MainWindow::openSettings);
    settings->setObjectName(QStringLiteral("settingsAction"));
    settings->setMenuRole(QAction::PreferencesRole);
    // The platform's preferences shortcut; many Linux desktops define none, so Ctrl+, there.
    const QList<QKeySequence> preferences = QKeySequence::keyBindings(QKeySequence::Preferences);
    settings->setShortcut(preferences.isEmpty() ? QKeySequence(Qt::CTRL | Qt::Key_Comma) : preferences.first());
    file->addSeparator();
    QAction *quit = file->addAction(QStringLiteral("Quit"), qApp, &QApplication::quit);
    quit->setObjectName(QStringLiteral("quitAction"));
    quit->setMenuRole(QAction::QuitRole);
    quit->setShortcut(QKeySequence::Quit);

    QMenu *help = menuBar()->addMenu(QStringLiteral("&Help"));
    help->setObjectName(QStringLiteral("helpMenu"));
    QAction *docs
        = help->addAction(QStringLiteral("Nivet Timestamping Help"), m_notifications, &AppNotifications::postShowDocs);
    docs->setObjectName(QStringLiteral("helpAction"));
}

void MainWindow::openSettings()
{
    if (!m_settings) {
        // A window of its own, owned by this one and deleted with it.
        m_settings = new DefaultsView(this);
        m_settings->setWindowFlag(Qt::Window);
        // Never the window that keeps the app running without its main window.
        m_settings->setAttribute(Qt::WA_QuitOnClose, false);
        // Saved defaults reach the next run and the Copy button at once.
        connect(m_settings->config(), &ConfigStore::saved, m_content->config(), &ConfigStore::setDefaults);
        new QShortcut(QKeySequence(Qt::Key_Escape), m_settings, m_settings.data(), &QWidget::close);
    }
    if (!m_settings->isVisible()) {
        // Over this window, and whole on its screen.
        QRect place({}, m_settings->size());
        place.moveCenter(frameGeometry().center());
        const QRect screen = this->screen()->availableGeometry();
        place.moveLeft(
            std::clamp(place.left(), screen.left(), std::max(screen.left(), screen.right() - place.width())));
        place.moveTop(std::clamp(place.top(), screen.top(), std::max(screen.top(), screen.bottom() - place.height())));
        m_settings->move(place.topLeft());
    }
    if (m_settings->isMinimized())
        m_settings->showNormal();
    else
        m_settings->show();
    m_settings->raise();
    m_settings->activateWindow();
}

void MainWindow::openWith(const AppCommandLine &line)
{
    m_content->handleDrop(line.files);
    if (line.action)
        m_content->startRun(*line.action);
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    if (m_settings)
        m_settings->close();
    QMainWindow::closeEvent(event);
}
