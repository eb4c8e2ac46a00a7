#pragma once

#include <QObject>

/// The notification centre of the app, owned by its main window.
class AppNotifications : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    /// "nivet.showDocs": asks the main window to show the help sheet.
    static constexpr const char *showDocsName = "nivet.showDocs";

    /// Posts showDocs synchronously on the calling (user-interface) thread.
    void postShowDocs() { Q_EMIT showDocs(); }

Q_SIGNALS:
    void showDocs();
};
