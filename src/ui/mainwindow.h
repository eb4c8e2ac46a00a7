#pragma once

#include "ui/defaultsview.h"

#include <QMainWindow>
#include <QPointer>

class ContentView;

/// The application frame: the main window with its menus, and the settings
/// window it opens.
class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    explicit MainWindow(QWidget *parent = nullptr);

    ContentView *content() const { return m_content; }
    /// The settings window, created when first opened.
    DefaultsView *settings() const { return m_settings; }

public Q_SLOTS:
    void openSettings();

private:
    ContentView *m_content;
    QPointer<DefaultsView> m_settings;
};
