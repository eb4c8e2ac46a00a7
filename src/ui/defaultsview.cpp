#include "ui/defaultsview.h"

#include "auth/authstore.h"
#include "storage/configstore.h"
#include "storage/nivetpaths.h"
#include "ui/elidedlabel.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QFontDatabase>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMetaProperty>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

/// Calls a function whenever a Qt property of an object signals a change.
class PropertyWatch : public QObject {
    Q_OBJECT
public:
    PropertyWatch(QObject *source, const char *property, std::function<void()> changed, QObject *owner)
        : QObject(owner)
        , m_changed(std::move(changed))
    {
        const QMetaObject *meta = source->metaObject();
        const QMetaProperty p = meta->property(meta->indexOfProperty(property));
        if (p.hasNotifySignal()) {
            const int slot = metaObject()->indexOfSlot("fire()");
            QMetaObject::connect(source, p.notifySignalIndex(), this, slot);
        }
    }

public Q_SLOTS:
    void fire() { m_changed(); }

private:
    std::function<void()> m_changed;
};

/// Binds a line edit to a text property both ways.
void bind(QLineEdit *edit, QObject *store, const char *property, QObject *owner)
{
    const auto pull = [edit, store, property] {
        const QString value = store->property(property).toString();
        if (edit->text() != value)
            edit->setText(value);
    };
    pull();
    new PropertyWatch(store, property, pull, owner);
    QObject::connect(edit, &QLineEdit::textEdited, store,
        [store, property](const QString &text) { store->setProperty(property, text); });
}

template<typename Label = QLabel> Label *caption(Label *label)
{
    QFont f = label->font();
    f.setPointSizeF(f.pointSizeF() * 0.9);
    label->setFont(f);
    label->setForegroundRole(QPalette::PlaceholderText);
    label->setTextFormat(Qt::PlainText);
    return label;
}

QLabel *caption(const QString &text, QWidget *parent)
{
    auto *label = caption(new QLabel(text, parent));
    label->setWordWrap(true);
    return label;
}

// Two lines, always there: text arriving or going never moves what is below.
ElidedLabel *reservedCaption(QWidget *parent)
{
    return caption(new ElidedLabel(Qt::ElideRight, 2, parent));
}

/// Shows value in the picker, or no selection for a value outside its options.
void showInPicker(QComboBox *picker, const QString &value)
{
    const int index = picker->findText(value);
    if (picker->currentIndex() != index)
        picker->setCurrentIndex(index);
}

} // namespace

DefaultsView::DefaultsView(QWidget *parent)
    : QWidget(parent)
    , m_config(new ConfigStore(this))
    , m_auth(AuthStore::shared())
{
    setObjectName(QStringLiteral("defaultsView"));
    setWindowTitle(QStringLiteral("Defaults"));
    setFixedWidth(560);

    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(20, 20, 20, 20);

    // MCP
    auto *mcp = new QGroupBox(QStringLiteral("MCP"), this);
    auto *mcpForm = new QFormLayout(mcp);
    m_url = new QLineEdit(mcp);
    m_url->setObjectName(QStringLiteral("mcpUrl"));
    m_scope = new QComboBox(mcp);
    m_scope->setObjectName(QStringLiteral("scopePicker"));
    m_scope->addItems({ QStringLiteral("global"), QStringLiteral("shared"), QStringLiteral("local") });
    m_output = new QComboBox(mcp);
    m_output->setObjectName(QStringLiteral("outputPicker"));
    m_output->addItems({ QStringLiteral("text"), QStringLiteral("json"), QStringLiteral("csv") });
    mcpForm->addRow(QStringLiteral("MCP URL"), m_url);
    mcpForm->addRow(QStringLiteral("Scope"), m_scope);
    mcpForm->addRow(QStringLiteral("Output"), m_output);
    column->addWidget(mcp);

    connect(m_url, &QLineEdit::textEdited, m_config, &ConfigStore::setUrl);
    // Only a choice the user makes writes back; a stored value outside the
    // options stays as it is.
    connect(m_scope, &QComboBox::activated, this, [this](int i) { m_config->setScope(m_scope->itemText(i)); });
    connect(m_output, &QComboBox::activated, this, [this](int i) { m_config->setOutput(m_output->itemText(i)); });
    connect(m_config, &ConfigStore::defaultsChanged, this, &DefaultsView::refreshFromConfig);
    refreshFromConfig();

    // Auth
    auto *auth = new QGroupBox(QStringLiteral("Auth"), this);
    auto *authForm = new QFormLayout(auth);
    auto *authUrl = new QLineEdit(auth);
    authUrl->setObjectName(QStringLiteral("authUrl"));
    auto *username = new QLineEdit(auth);
    username->setObjectName(QStringLiteral("username"));
    auto *password = new QLineEdit(auth);
    password->setObjectName(QStringLiteral("password"));
    password->setEchoMode(QLineEdit::Password);
    bind(authUrl, &m_auth, "authURL", this);
    bind(username, &m_auth, "username", this);
    bind(password, &m_auth, "password", this);
    authForm->addRow(QStringLiteral("Auth API URL"), authUrl);
    authForm->addRow(QStringLiteral("Username"), username);
    authForm->addRow(QStringLiteral("Password"), password);

    auto *tokenColumn = new QVBoxLayout;
    tokenColumn->setSpacing(4);
    QLabel *tokenCaption = caption(QStringLiteral("Access token (paste existing JWT)"), auth);
    tokenColumn->addWidget(tokenCaption);
    m_token = new QPlainTextEdit(auth);
    m_token->setObjectName(QStringLiteral("accessToken"));
    m_token->setAccessibleName(QStringLiteral("Access token"));
    tokenCaption->setBuddy(m_token);
    // A token never holds a tab: Tab and Shift+Tab move on, as in any form.
    m_token->setTabChangesFocus(true);
    m_token->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    m_token->setMinimumHeight(72);
    m_token->setMaximumHeight(120);
    m_token->setFrameShape(QFrame::NoFrame);
    m_token->setStyleSheet(QStringLiteral("QPlainTextEdit { border: 1px solid rgba(128, 128, 128, 77); }"));
    tokenColumn->addWidget(m_token);
    authForm->addRow(tokenColumn);
    const auto pullToken = [this] {
        const QString value = m_auth.property("accessToken").toString();
        if (m_token->toPlainText() != value)
            m_token->setPlainText(value);
        refreshDerived();
    };
    pullToken();
    new PropertyWatch(&m_auth, "accessToken", pullToken, this);
    connect(m_token, &QPlainTextEdit::textChanged, this, [this] {
        if (m_auth.property("accessToken").toString() != m_token->toPlainText())
            m_auth.setProperty("accessToken", m_token->toPlainText());
    });

    m_hint = new QLabel(auth);
    m_hint->setObjectName(QStringLiteral("tokenHint"));
    m_hint->setTextFormat(Qt::PlainText);
    m_hint->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    m_hint->setForegroundRole(QPalette::PlaceholderText);
    authForm->addRow(QStringLiteral("Token hint"), m_hint);
    m_expires = caption(new QLabel(auth));
    m_expires->setObjectName(QStringLiteral("expires"));
    m_expires->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_expires->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred); // a long value is cut, not widening
    authForm->addRow(QStringLiteral("Expires"), m_expires);
    m_summary = reservedCaption(auth);
    m_summary->setObjectName(QStringLiteral("sessionSummary"));
    authForm->addRow(m_summary);
    new PropertyWatch(
        &m_auth, "expiresAt", [this] { refreshDerived(); }, this);
    new PropertyWatch(
        &m_auth, "sessionSummary", [this] { refreshDerived(); }, this);

    auto *buttons = new QHBoxLayout;
    const std::pair<const char *, const char *> labels[] = { { "Save credentials", "saveButton" },
        { "Generate / refresh token", "generateButton" }, { "Check session", "checkButton" } };
    for (const auto &[label, name] : labels) {
        auto *b = new QPushButton(QString::fromUtf8(label), auth);
        b->setObjectName(QString::fromLatin1(name));
        b->setAutoDefault(false);
        buttons->addWidget(b);
        m_buttons.append(b);
    }
    buttons->addStretch(1);
    authForm->addRow(buttons);
    connect(m_buttons[0], &QPushButton::clicked, this, &DefaultsView::saveAll);
    connect(m_buttons[1], &QPushButton::clicked, this, &DefaultsView::generateToken);
    connect(m_buttons[2], &QPushButton::clicked, this, &DefaultsView::checkSession);
    column->addWidget(auth);

    // Both sections share one label column.
    QList<QWidget *> formLabels;
    for (QFormLayout *form : { mcpForm, authForm }) {
        for (int row = 0; row < form->rowCount(); ++row) {
            if (QLayoutItem *item = form->itemAt(row, QFormLayout::LabelRole); item && item->widget())
                formLabels.append(item->widget());
        }
    }
    int labelWidth = 0;
    for (QWidget *label : formLabels)
        labelWidth = std::max(labelWidth, label->sizeHint().width());
    for (QWidget *label : formLabels)
        label->setMinimumWidth(labelWidth);

    m_status = reservedCaption(this);
    m_status->setObjectName(QStringLiteral("statusLine"));
    column->addWidget(m_status);
    QLabel *note = caption(QStringLiteral("Stored in %1/. The command-line tool nivet-timestamp uses the same files.")
                               .arg(NivetPaths::applicationSupportNivet()),
        this);
    note->setObjectName(QStringLiteral("storageNote"));
    column->addWidget(note);
    refreshDerived();

    // One height for good: every line that comes and goes has its room already.
    ensurePolished();
    setFixedHeight(
        column->hasHeightForWidth() ? column->totalHeightForWidth(width()) : column->totalSizeHint().height());
}

void DefaultsView::refreshFromConfig()
{
    const auto &d = m_config->defaults();
    if (m_url->text() != d.url)
        m_url->setText(d.url);
    showInPicker(m_scope, d.scope);
    showInPicker(m_output, d.output);
}

void DefaultsView::refreshDerived()
{
    if (!m_hint)
        return; // still being built
    const QString token = m_auth.property("accessToken").toString();
    m_hint->setText(token.isEmpty() ? QStringLiteral("(none)") : AuthStore::tokenHint(token));
    const QString expires = m_auth.property("expiresAt").toString();
    m_expires->setText(expires.isEmpty() ? QStringLiteral("—") : expires);
    m_summary->setText(m_auth.property("sessionSummary").toString());
}

void DefaultsView::showEvent(QShowEvent *event)
{
    // Opening the window starts from what is on disk, and unsaved credential
    // edits go; restoring it or showing it again while open keeps them.
    if (!m_open) {
        m_open = true;
        m_auth.reloadFromDisk();
    }
    QWidget::showEvent(event);
}

void DefaultsView::closeEvent(QCloseEvent *event)
{
    m_open = false;
    QWidget::closeEvent(event);
}

void DefaultsView::setStatus(const QString &text, bool isError)
{
    m_statusLine = text;
    m_statusIsError = isError;
    m_status->setText(text);
    QPalette p = m_status->palette();
    p.setColor(QPalette::WindowText, isError ? QColor(Qt::red) : palette().color(QPalette::PlaceholderText));
    m_status->setPalette(p);
    m_status->setForegroundRole(QPalette::WindowText);
    Q_EMIT statusLineChanged(text);
}

void DefaultsView::setBusy(bool busy)
{
    m_busy = busy;
    // Disabling the focused button would pass focus on down the chain, to a
    // field with its text selected that the next keystroke replaces. The
    // button gives focus up instead, and takes it back afterwards.
    QWidget *focused = focusWidget();
    if (busy && m_buttons.contains(focused)) {
        m_focusBeforeBusy = focused;
        focused->clearFocus();
    }
    for (QPushButton *b : m_buttons)
        b->setEnabled(!busy);
    if (!busy && m_focusBeforeBusy) {
        if (!focusWidget()) // unless the user has moved on meanwhile
            m_focusBeforeBusy->setFocus(Qt::OtherFocusReason);
        m_focusBeforeBusy.clear();
    }
    Q_EMIT busyChanged(busy);
}

void DefaultsView::saveAll()
{
    m_config->save();
    const auto saved = m_auth.save();
    if (saved.ok())
        setStatus(QStringLiteral("Saved. ") + m_auth.property("sessionSummary").toString(), false);
    else
        setStatus(QStringLiteral("Save failed: ") + saved.error().description, true);
}

void DefaultsView::generateToken()
{
    setBusy(true);
    m_config->save();
    runAuthAction(m_auth.login(), QStringLiteral("Token refreshed for "), QStringLiteral("Generate/refresh failed: "));
}

void DefaultsView::checkSession()
{
    setBusy(true);
    runAuthAction(m_auth.validate(), QStringLiteral("Session OK · "), QStringLiteral("Check session failed: "));
}

QCoro::Task<> DefaultsView::runAuthAction(
    QCoro::Task<Expected<AuthStore::Identity>> action, QString okPrefix, QString failedPrefix)
{
    QPointer<DefaultsView> self(this);
    const auto result = co_await action;
    if (!self)
        co_return;
    if (result.ok()) {
        const auto &[name, role] = result.value();
        setStatus(okPrefix + (role.isEmpty() ? name : name + QStringLiteral(" (") + role + QLatin1Char(')')), false);
    } else {
        setStatus(failedPrefix + result.error().description, true);
    }
    setBusy(false);
}

#include "defaultsview.moc"
