#pragma once

#include "auth/authclient.h"
#include "auth/credentials.h"

#include <QCoro/QCoroTask>
#include <QPointer>
#include <QWidget>

class ConfigStore;
class ElidedLabel;
class QComboBox;
class QFormLayout;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

/// The settings window: the client defaults ("MCP") and the credentials
/// ("Auth"), with save, token and check actions and a status line. It edits
/// copies: nothing typed reaches the files or the network until one of the
/// three buttons acts on what the form shows. File work and the wait for a
/// lock happen off the window's thread.
class DefaultsView : public QWidget {
    Q_OBJECT
public:
    explicit DefaultsView(QWidget *parent = nullptr);

    QString statusLine() const { return m_statusLine; }
    bool statusIsError() const { return m_statusIsError; }
    bool busy() const { return m_busy; }
    ConfigStore *config() const { return m_config; }
    /// The credentials as the form shows them.
    const Credentials &form() const { return m_form; }

public Q_SLOTS:
    void saveAll();
    void generateToken();
    void checkSession();
    /// Pins the log key the saved MCP URL's service signs with now, in place
    /// of the one pinned before: the user's explicit acceptance of a new key.
    void acceptLogKey();

Q_SIGNALS:
    void statusLineChanged(const QString &text);
    void busyChanged(bool busy);

protected:
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    QCoro::Task<> loadForm();
    QCoro::Task<> save();
    QCoro::Task<> login();
    QCoro::Task<> check();
    QCoro::Task<> acceptKey();
    void refreshLogKey();
    /// Shows the outcome of a login or validation after the prefixes.
    void showSession(const Expected<AuthClient::Session> &result, const Credentials &sent, const QString &okPrefix,
        const QString &failedPrefix);
    /// Takes fromDisk into every field the user has not changed since sent
    /// was taken from the form.
    void adopt(const Credentials &fromDisk, const Credentials &sent);
    void addMcpRows(QFormLayout *form, QWidget *box);
    void addCredentialRows(QFormLayout *form, QWidget *box);
    void addTokenRows(QFormLayout *form, QWidget *box);
    void addButtonRow(QFormLayout *form, QWidget *box);
    void setStatus(const QString &text, bool isError);
    void setBusy(bool busy);
    void refreshFromConfig();
    void showForm();
    void refreshDerived();

    ConfigStore *m_config;
    AuthClient *m_client;
    Credentials m_loaded; // as the file held it when last read or written here
    Credentials m_form; // as the form shows it
    QString m_summary;
    QString m_statusLine;
    bool m_statusIsError = false;
    bool m_busy = false;
    bool m_open = false; // shown since the last close
    QPointer<QWidget> m_focusBeforeBusy;

    QLineEdit *m_url = nullptr;
    QComboBox *m_scope = nullptr;
    QComboBox *m_output = nullptr;
    QLineEdit *m_authUrl = nullptr;
    QLineEdit *m_username = nullptr;
    QLineEdit *m_password = nullptr;
    QPlainTextEdit *m_token = nullptr;
    QLabel *m_hint = nullptr;
    QLabel *m_expires = nullptr;
    ElidedLabel *m_summaryLabel = nullptr;
    ElidedLabel *m_status = nullptr;
    QLabel *m_logKey = nullptr;
    QList<QPushButton *> m_buttons;
};
