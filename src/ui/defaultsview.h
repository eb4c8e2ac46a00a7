#pragma once

#include "auth/authstore.h"

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
/// ("Auth"), bound both ways to their stores, with save, token and check
/// actions and a status line.
class DefaultsView : public QWidget {
    Q_OBJECT
public:
    explicit DefaultsView(QWidget *parent = nullptr);

    QString statusLine() const { return m_statusLine; }
    bool statusIsError() const { return m_statusIsError; }
    bool busy() const { return m_busy; }
    ConfigStore *config() const { return m_config; }

public Q_SLOTS:
    void saveAll();
    void generateToken();
    void checkSession();

Q_SIGNALS:
    void statusLineChanged(const QString &text);
    void busyChanged(bool busy);

protected:
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    /// Waits for a login or validation and shows its outcome after the prefixes.
    QCoro::Task<> runAuthAction(
        QCoro::Task<Expected<AuthStore::Identity>> action, QString okPrefix, QString failedPrefix);
    void addMcpRows(QFormLayout *form, QWidget *box);
    void addCredentialRows(QFormLayout *form, QWidget *box);
    void addTokenRows(QFormLayout *form, QWidget *box);
    void addButtonRow(QFormLayout *form, QWidget *box);
    void setStatus(const QString &text, bool isError);
    void setBusy(bool busy);
    void refreshFromConfig();
    void refreshDerived();

    ConfigStore *m_config;
    AuthStore &m_auth;
    QString m_statusLine;
    bool m_statusIsError = false;
    bool m_busy = false;
    bool m_open = false; // shown since the last close
    QPointer<QWidget> m_focusBeforeBusy;

    QLineEdit *m_url = nullptr;
    QComboBox *m_scope = nullptr;
    QComboBox *m_output = nullptr;
    QPlainTextEdit *m_token = nullptr;
    QLabel *m_hint = nullptr;
    QLabel *m_expires = nullptr;
    ElidedLabel *m_summary = nullptr;
    ElidedLabel *m_status = nullptr;
    QList<QPushButton *> m_buttons;
};
