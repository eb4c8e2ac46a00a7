#pragma once

#include <QObject>

/// The process-wide notification centre of the app. Created on first use.
class AppNotifications : public QObject {
    Q_OBJECT
public:
    /// "nivet.showDocs": asks the main window to show the help sheet.
    static constexpr const char *showDocsName = "nivet.showDocs";

    static AppNotifications &instance();

    /// Posts showDocs synchronously on the calling (user-interface) thread.
    void postShowDocs() { Q_EMIT showDocs(); }

Q_SIGNALS:
    void showDocs();

private:
    using QObject::QObject;
};
