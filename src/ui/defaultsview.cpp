#include "ui/defaultsview.h"

#include "auth/credentialsfile.h"
#include "auth/tokensource.h"
#include "mcp/mcpclient.h"
#include "storage/configstore.h"
#include "storage/evidencefiles.h"
#include "storage/nivetpaths.h"
#include "ui/elidedlabel.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QCoro/QCoroFuture>
#include <QFontDatabase>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>
#include <QtConcurrent/QtConcurrentRun>

namespace {

void showText(QLineEdit *edit, const QString &value)
{
    if (edit->text() != value)
        edit->setText(value);
}

/// Gives the label columns of all forms one width.
void alignLabels(std::initializer_list<QFormLayout *> forms)
{
    QList<QWidget *> labels;
    for (QFormLayout *form : forms) {
        for (int row = 0; row < form->rowCount(); ++row) {
            if (QLayoutItem *item = form->itemAt(row, QFormLayout::LabelRole); item && item->widget())
                labels.append(item->widget());
        }
    }
    int width = 0;
    for (QWidget *label : labels)
        width = std::max(width, label->sizeHint().width());
    for (QWidget *label : labels)
        label->setMinimumWidth(width);
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
    , m_client(new AuthClient(this))
{
    setObjectName(QStringLiteral("defaultsView"));
    setWindowTitle(QStringLiteral("Defaults"));
    setFixedWidth(560);

    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(20, 20, 20, 20);
    auto *mcp = new QGroupBox(QStringLiteral("MCP"), this);
    auto *mcpForm = new QFormLayout(mcp);
    addMcpRows(mcpForm, mcp);
    column->addWidget(mcp);
    auto *auth = new QGroupBox(QStringLiteral("Auth"), this);
    auto *authForm = new QFormLayout(auth);
    addCredentialRows(authForm, auth);
    addTokenRows(authForm, auth);
    addButtonRow(authForm, auth);
    column->addWidget(auth);
    alignLabels({ mcpForm, authForm });

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

void DefaultsView::addMcpRows(QFormLayout *form, QWidget *box)
{
    m_url = new QLineEdit(box);
    m_url->setObjectName(QStringLiteral("mcpUrl"));
    m_scope = new QComboBox(box);
    m_scope->setObjectName(QStringLiteral("scopePicker"));
    m_scope->addItems({ QStringLiteral("global"), QStringLiteral("shared"), QStringLiteral("local") });
    m_output = new QComboBox(box);
    m_output->setObjectName(QStringLiteral("outputPicker"));
    m_output->addItems({ QStringLiteral("text"), QStringLiteral("json"), QStringLiteral("csv") });
    form->addRow(QStringLiteral("MCP URL"), m_url);
    form->addRow(QStringLiteral("Scope"), m_scope);
    form->addRow(QStringLiteral("Output"), m_output);
    // The log key of the saved URL's service: who signs its evidence.
    m_logKey = caption(QString(), box);
    m_logKey->setObjectName(QStringLiteral("logKey"));
    m_logKey->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto *accept = new QPushButton(QStringLiteral("Accept New Key"), box);
    accept->setObjectName(QStringLiteral("acceptKeyButton"));
    accept->setAutoDefault(false);
    accept->setToolTip(QStringLiteral("Trust the key the service signs with now, in place of the pinned one. "
                                      "Do so only when its operator confirms the change."));
    // The whole key id, to compare with the one the operator publishes.
    QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    fixed.setPointSizeF(m_logKey->font().pointSizeF() * 0.95);
    m_logKey->setFont(fixed);
    m_logKey->setWordWrap(false);
    form->addRow(QStringLiteral("Log key"), m_logKey);
    auto *keyRow = new QHBoxLayout;
    keyRow->addWidget(accept);
    keyRow->addStretch(1);
    form->addRow(QString(), keyRow);
    connect(accept, &QPushButton::clicked, this, &DefaultsView::acceptLogKey);
    m_buttons.append(accept);

    connect(m_url, &QLineEdit::textEdited, m_config, &ConfigStore::setUrl);
    // Only a choice the user makes writes back; a stored value outside the
    // options stays as it is.
    connect(m_scope, &QComboBox::activated, this, [this](int i) { m_config->setScope(m_scope->itemText(i)); });
    connect(m_output, &QComboBox::activated, this, [this](int i) { m_config->setOutput(m_output->itemText(i)); });
    connect(m_config, &ConfigStore::defaultsChanged, this, &DefaultsView::refreshFromConfig);
    refreshFromConfig();
}

void DefaultsView::addCredentialRows(QFormLayout *form, QWidget *box)
{
    m_authUrl = new QLineEdit(box);
    m_authUrl->setObjectName(QStringLiteral("authUrl"));
    m_username = new QLineEdit(box);
    m_username->setObjectName(QStringLiteral("username"));
    m_password = new QLineEdit(box);
    m_password->setObjectName(QStringLiteral("password"));
    m_password->setEchoMode(QLineEdit::Password);
    for (const auto &[edit, member] : { std::pair { m_authUrl, &Credentials::authURL },
             std::pair { m_username, &Credentials::username }, std::pair { m_password, &Credentials::password } }) {
        connect(edit, &QLineEdit::textEdited, this,
            [this, member = member](const QString &text) { m_form.*member = text; });
    }
    form->addRow(QStringLiteral("Auth API URL"), m_authUrl);
    form->addRow(QStringLiteral("Username"), m_username);
    form->addRow(QStringLiteral("Password"), m_password);

    auto *tokenColumn = new QVBoxLayout;
    tokenColumn->setSpacing(4);
    QLabel *tokenCaption = caption(QStringLiteral("Access token (paste existing JWT)"), box);
    tokenColumn->addWidget(tokenCaption);
    m_token = new QPlainTextEdit(box);
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
    form->addRow(tokenColumn);
    connect(m_token, &QPlainTextEdit::textChanged, this, [this] {
        m_form.accessToken = m_token->toPlainText();
        refreshDerived();
    });
}

void DefaultsView::addTokenRows(QFormLayout *form, QWidget *box)
{
    m_hint = new QLabel(box);
    m_hint->setObjectName(QStringLiteral("tokenHint"));
    m_hint->setTextFormat(Qt::PlainText);
    m_hint->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    m_hint->setForegroundRole(QPalette::PlaceholderText);
    form->addRow(QStringLiteral("Token hint"), m_hint);
    m_expires = caption(new QLabel(box));
    m_expires->setObjectName(QStringLiteral("expires"));
    m_expires->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_expires->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred); // a long value is cut, not widening
    form->addRow(QStringLiteral("Expires"), m_expires);
    m_summaryLabel = reservedCaption(box);
    m_summaryLabel->setObjectName(QStringLiteral("sessionSummary"));
    form->addRow(m_summaryLabel);
}

void DefaultsView::addButtonRow(QFormLayout *form, QWidget *box)
{
    auto *buttons = new QHBoxLayout;
    const std::pair<const char *, const char *> labels[] = { { "Save credentials", "saveButton" },
        { "Generate / refresh token", "generateButton" }, { "Check session", "checkButton" } };
    QList<QPushButton *> made;
    for (const auto &[label, name] : labels) {
        auto *b = new QPushButton(QString::fromUtf8(label), box);
        b->setObjectName(QString::fromLatin1(name));
        b->setAutoDefault(false);
        buttons->addWidget(b);
        made.append(b);
    }
    m_buttons += made;
    buttons->addStretch(1);
    form->addRow(buttons);
    connect(made[0], &QPushButton::clicked, this, &DefaultsView::saveAll);
    connect(made[1], &QPushButton::clicked, this, &DefaultsView::generateToken);
    connect(made[2], &QPushButton::clicked, this, &DefaultsView::checkSession);
}

void DefaultsView::refreshFromConfig()
{
    const auto &d = m_config->defaults();
    if (m_url->text() != d.url)
        m_url->setText(d.url);
    showInPicker(m_scope, d.scope);
    showInPicker(m_output, d.output);
}

void DefaultsView::showForm()
{
    showText(m_authUrl, m_form.authURL);
    showText(m_username, m_form.username);
    showText(m_password, m_form.password);
    if (m_token->toPlainText() != m_form.accessToken)
        m_token->setPlainText(m_form.accessToken);
    refreshDerived();
}

void DefaultsView::refreshDerived()
{
    if (!m_summaryLabel)
        return; // still being built
    const QString token = m_form.accessToken;
    m_hint->setText(token.isEmpty() ? QStringLiteral("(none)") : Credentials::tokenHint(token));
    m_expires->setText(m_form.expiresAt.isEmpty() ? QStringLiteral("—") : m_form.expiresAt);
    m_summaryLabel->setText(m_summary);
}

void DefaultsView::adopt(const Credentials &fromDisk, const Credentials &sent)
{
    m_form.assign(fromDisk, Credentials::allFields & ~sent.differences(m_form));
    showForm();
}

void DefaultsView::showEvent(QShowEvent *event)
{
    // Opening the window starts from what is on disk, and unsaved credential
    // edits go; restoring it or showing it again while open keeps them.
    if (!m_open) {
        m_open = true;
        m_form = m_loaded = Credentials();
        m_summary.clear();
        showForm();
        refreshLogKey();
        loadForm();
    }
    QWidget::showEvent(event);
}

QCoro::Task<> DefaultsView::loadForm()
{
    QPointer<DefaultsView> self(this);
    const Credentials shown = m_form;
    auto loading = CredentialsFile::loadAsync();
    const Credentials loaded = co_await loading;
    if (!self)
        co_return;
    m_loaded = loaded;
    m_summary = loaded.loadSummary();
    adopt(loaded, shown);
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
    save();
}

void DefaultsView::generateToken()
{
    login();
}

void DefaultsView::checkSession()
{
    check();
}

void DefaultsView::acceptLogKey()
{
    acceptKey();
}

void DefaultsView::refreshLogKey()
{
    // The saved URL's: an edit not saved yet acts on nobody's behalf.
    const auto pinned = LogKeyPins::pinned(MCPClient(ConfigStore().defaults().url).url().toString());
    if (pinned && *pinned)
        m_logKey->setText((*pinned)->keyId + QStringLiteral("\npinned ") + (*pinned)->pinnedAt);
    else
        m_logKey->setText(pinned ? QStringLiteral("None pinned yet: pinned when the service first sends evidence")
                                 : pinned.error().description);
}

QCoro::Task<> DefaultsView::acceptKey()
{
    QPointer<DefaultsView> self(this);
    setBusy(true);
    MCPClient client(ConfigStore().defaults().url, std::make_shared<TokenSource>());
    const QString service = client.url().toString();
    auto fetching = client.fetchLogKey();
    const auto offered = co_await fetching;
    if (!self)
        co_return;
    if (!offered) {
        setStatus(QStringLiteral("Accept New Key failed: ") + offered.error().description, true);
        setBusy(false);
        co_return;
    }
    QFuture<Expected<PinnedKey, SaveError>> pinning = QtConcurrent::run(
        [service, key = *offered] { return LogKeyPins::accept(service, key.keyId, key.publicKey); });
    const auto pinned = co_await pinning;
    if (!self)
        co_return;
    if (pinned)
        setStatus(QStringLiteral("Pinned the log key %1 for %2").arg(pinned->keyId, service), false);
    else
        setStatus(QStringLiteral("Accept New Key failed: ") + pinned.error().describe(), true);
    refreshLogKey();
    setBusy(false);
}

QCoro::Task<> DefaultsView::save()
{
    QPointer<DefaultsView> self(this);
    setBusy(true);
    const Credentials sent = m_form;
    auto savingDefaults = m_config->save();
    const auto defaults = co_await savingDefaults;
    if (!self)
        co_return;
    // Only what was changed here is written; the rest stays as the file has
    // it now (a run may have renewed the token meanwhile).
    auto savingCredentials = CredentialsFile::saveAsync(sent, m_loaded.differences(sent));
    const auto saved = co_await savingCredentials;
    if (!self)
        co_return;
    if (saved) {
        m_loaded = *saved;
        m_summary = saved->saveSummary();
        adopt(*saved, sent);
    }
    QStringList failures;
    if (!defaults)
        failures.append(defaults.error().describe());
    if (!saved)
        failures.append(saved.error().describe());
    if (failures.isEmpty())
        setStatus(QStringLiteral("Saved. ") + m_summary, false);
    else
        setStatus(QStringLiteral("Save failed: ") + failures.join(QStringLiteral("; ")), true);
    setBusy(false);
}

QCoro::Task<> DefaultsView::login()
{
    QPointer<DefaultsView> self(this);
    setBusy(true);
    const Credentials sent = m_form;
    auto savingDefaults = m_config->save();
    const auto defaults = co_await savingDefaults;
    if (!self)
        co_return;
    // What the form shows is used and, once the login succeeds, saved.
    auto running = m_client->login(sent, m_loaded.differences(sent));
    const auto result = co_await running;
    if (!self)
        co_return;
    showSession(result, sent, QStringLiteral("Token refreshed for "), QStringLiteral("Generate/refresh failed: "));
    if (!defaults)
        setStatus(m_statusLine + QStringLiteral("; the defaults were not saved: ") + defaults.error().describe(), true);
    setBusy(false);
}

QCoro::Task<> DefaultsView::check()
{
    QPointer<DefaultsView> self(this);
    setBusy(true);
    const Credentials sent = m_form;
    auto running = m_client->validate(sent, m_loaded.differences(sent));
    const auto result = co_await running;
    if (!self)
        co_return;
    showSession(result, sent, QStringLiteral("Session OK · "), QStringLiteral("Check session failed: "));
    setBusy(false);
}

void DefaultsView::showSession(const Expected<AuthClient::Session> &result, const Credentials &sent,
    const QString &okPrefix, const QString &failedPrefix)
{
    if (!result) {
        setStatus(failedPrefix + result.error().description, true);
        return;
    }
    if (result->saved)
        m_loaded = *result->saved;
    m_summary = result->summary;
    adopt(result->credentials, sent);
    const QString role = result->role;
    setStatus(
        okPrefix + result->name + (role.isEmpty() ? QString() : QStringLiteral(" (") + role + QLatin1Char(')')), false);
}
