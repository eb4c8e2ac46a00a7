#pragma once

#include "core/batchrun.h"
#include "ui/defaultsview.h"

#include <QMainWindow>
#include <QPointer>

class AppNotifications;
class ContentView;
struct AppCommandLine;

/// The application frame: the main window with its menus, and the settings
/// window it opens.
class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    /// service makes each run's stamping service (see ContentView).
    explicit MainWindow(QWidget *parent = nullptr, BatchRun::ServiceFactory service = {});

    ContentView *content() const { return m_content; }
    /// The settings window, created when first opened.
    DefaultsView *settings() const { return m_settings; }

    /// Lists the command line's files and starts the run it asks for.
    void openWith(const AppCommandLine &line);

public Q_SLOTS:
    /// Shows the settings window, centred over this one when it opens.
    void openSettings();

protected:
    /// Closing the main window ends the app, settings window and all.
    void closeEvent(QCloseEvent *event) override;

private:
    ContentView *m_content;
    AppNotifications *m_notifications;
    QPointer<DefaultsView> m_settings;
};
