#include "cli/batchcommands.h"

#include "auth/tokensource.h"
#include "cli/evidencecommands.h"
#include "core/batchrun.h"
#include "core/text.h"
#include "export/exportactions.h"
#include "export/exportformat.h"
#include "export/exporttext.h"
#include "mcp/mcpclient.h"
#include "mcp/offlineverifier.h"
#include "storage/configstore.h"

#include <QDir>
#include <QFileInfo>
#include <QSocketNotifier>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <memory>
#include <optional>

#include <fcntl.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace BatchCommands {

namespace {

const QCommandLineOption kFormat(
    u"format"_s, u"Output format: json, csv, text or pdf (default: the output default)."_s, u"FORMAT"_s);
const QCommandLineOption kSave(u"save"_s, u"Also write the output to PATH (.json, .csv, .txt, .pdf)."_s, u"PATH"_s);
const QCommandLineOption kOffline(
    u"offline"_s, u"Check the kept evidence alone, with no network: the log's signatures and the timestamps."_s);
const QCommandLineOption kTsaCa(u"tsa-ca"_s,
    u"With --offline: trust the timestamp authorities whose CA certificates are in PEM (default: those in tsa-ca.pem in the data folder, else the system's)."_s,
    u"PEM"_s);

// The formats stdout can show.
std::optional<ExportFormat> textFormatNamed(const QString &name)
{
    const std::optional<ExportFormat> format = ExportFormats::fromRawValue(name);
    if (format == ExportFormat::json || format == ExportFormat::csv || format == ExportFormat::text)
        return format;
    return std::nullopt;
}

// The format a saved file gets from its extension when --format is not given.
std::optional<ExportFormat> formatForFileName(const QString &path)
{
    const QString suffix = QFileInfo(path).suffix().toLower();
    if (suffix == "txt"_L1)
        return ExportFormat::text;
    return suffix == "text"_L1 ? std::nullopt : ExportFormats::fromRawValue(suffix);
}

// A run's options, checked before anything is stamped.
struct BatchOptions {
    QStringList files; // full paths, in the order given
    std::optional<ExportFormat> requested;
    QString savePath; // empty: nothing saved
    ExportFormat saveFormat = ExportFormat::text;
    bool offline = false;
    QString tsaCa; // empty: the system's CA store
};

// "[2/3] name  1048576/4194304 bytes" (bytes of the whole run) on one line
// that each update replaces.
void showProgress(CliIo &io, int number, int count, const QString &path, qint64 done, qint64 total)
{
    io.err << QStringLiteral("\r\x1b[K[%1/%2] %3  %4/%5 bytes")
                  .arg(number)
                  .arg(count)
                  .arg(Cli::inert(Text::lastPathComponent(path)))
                  .arg(done)
                  .arg(total);
    io.err.flush();
}

// Ctrl+C stops the run: the hash in hand ends at once, requests in flight
// are answered and their receipts saved. The handler only
// writes a byte to a pipe (all a signal handler may safely do); the event
// loop reads it. A second Ctrl+C ends the program at once, as usual.
class InterruptWatch {
public:
    InterruptWatch(BatchRun &run, CliIo &io)
    {
        if (::pipe2(m_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
            return;
        s_writeEnd = m_pipe[1];
        m_notifier = std::make_unique<QSocketNotifier>(m_pipe[0], QSocketNotifier::Read);
        QObject::connect(m_notifier.get(), &QSocketNotifier::activated, m_notifier.get(), [this, &run, &io] {
            char byte;
            while (::read(m_pipe[0], &byte, 1) > 0) { }
            if (m_interrupted || !run.busy())
                return;
            m_interrupted = true;
            io.err << (io.errIsTerminal ? QStringLiteral("\r\x1b[K") : QString()) << QStringLiteral("Stopping…\n");
            io.err.flush();
            run.stop();
        });
        struct sigaction action = {};
        action.sa_handler = &InterruptWatch::onSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESETHAND | SA_RESTART;
        m_installed = ::sigaction(SIGINT, &action, &m_previous) == 0;
    }

    ~InterruptWatch()
    {
        if (m_installed)
            ::sigaction(SIGINT, &m_previous, nullptr);
        m_notifier.reset();
        if (s_writeEnd == m_pipe[1])
            s_writeEnd = -1;
        for (const int fd : m_pipe) {
            if (fd >= 0)
                ::close(fd);
        }
    }

    InterruptWatch(const InterruptWatch &) = delete;
    InterruptWatch &operator=(const InterruptWatch &) = delete;

private:
    static void onSignal(int)
    {
        const int saved = errno;
        if (s_writeEnd >= 0) {
            [[maybe_unused]] const ssize_t written = ::write(s_writeEnd, "x", 1);
        }
        errno = saved;
    }

    static inline volatile sig_atomic_t s_writeEnd = -1;
    int m_pipe[2] = { -1, -1 };
    std::unique_ptr<QSocketNotifier> m_notifier;
    struct sigaction m_previous = {};
    bool m_installed = false;
    bool m_interrupted = false;
};

// Reads the options into options; on a usage error, the status to end with.
std::optional<int> parseBatch(BatchRun::Action action, const QStringList &args, CliIo &io, BatchOptions &options)
{
    const bool registering = action == BatchRun::Action::registerFiles;
    const Cli::CommandLine line { registering ? u"register [options] FILE..."_s : u"verify [options] FILE..."_s,
        registering ? u"Stamp the files' digests and keep the receipts."_s
                    : u"Check the files against their receipts."_s,
        registering ? QList { kFormat, kSave } : QList { kFormat, kSave, kOffline, kTsaCa } };
    QCommandLineParser parser;
    if (const auto done = Cli::parseCommand(parser, line, args, io))
        return done;
    const QString command = registering ? u"register: "_s : u"verify: "_s;
    if (parser.positionalArguments().isEmpty())
        return Cli::usageError(io, command + u"no files given"_s);
    if (parser.isSet(kFormat)) {
        options.requested = ExportFormats::fromRawValue(parser.value(kFormat));
        if (!options.requested)
            return Cli::usageError(
                io, command + u"unknown format \"%1\" (json, csv, text or pdf)"_s.arg(parser.value(kFormat)));
        // A PDF is a file, never terminal output.
        if (options.requested == ExportFormat::pdf && !parser.isSet(kSave))
            return Cli::usageError(io, command + u"--format pdf needs --save PATH"_s);
    }
    if (parser.isSet(kSave)) {
        const QString path = parser.value(kSave);
        if (path.isEmpty())
            return Cli::usageError(io, command + u"--save needs a file name"_s);
        const std::optional<ExportFormat> format = options.requested ? options.requested : formatForFileName(path);
        if (!format) {
            return Cli::usageError(io,
                command
                    + u"cannot tell the format of \"%1\": name it .json, .csv, .txt or .pdf, or give --format"_s.arg(
                        path));
        }
        options.savePath = path;
        options.saveFormat = *format;
    }
    if (!registering) {
        if (parser.isSet(kTsaCa) && !parser.isSet(kOffline))
            return Cli::usageError(io, command + u"--tsa-ca needs --offline"_s);
        options.offline = parser.isSet(kOffline);
        options.tsaCa = parser.value(kTsaCa);
    }
    // Rows and receipt files name the files by their full path.
    for (const QString &operand : parser.positionalArguments())
        options.files.append(QDir::cleanPath(QFileInfo(operand).absoluteFilePath()));
    return std::nullopt;
}

// Prints the rows and the summary, saves the file asked for; the exit status.
int report(const BatchRun &run, const BatchOptions &options, ExportFormat shown, CliIo &io)
{
    const QList<FileResult> rows = run.results();
    if (const std::optional<QString> text = exportText(rows, shown))
        io.out << Cli::inert(*text) << QLatin1Char('\n');
    io.out.flush();
    io.err << Cli::inert(run.status()) << QLatin1Char('\n');

    int status = std::all_of(rows.begin(), rows.end(), [](const FileResult &r) { return r.passes(); })
        ? Cli::kExitOk
        : Cli::kExitFailure;
    if (!options.savePath.isEmpty()) {
        // saveExport renders and writes the file; its status text says how it went.
        const QString outcome = saveExport(rows, options.saveFormat, options.savePath)
                                    .value_or(QStringLiteral("Export failed: nothing to write"));
        io.err << Cli::inert(outcome) << QLatin1Char('\n');
        if (outcome.startsWith(QLatin1String("Export failed: ")))
            status = Cli::kExitFailure;
    }
    if (run.stopped() && !run.halted())
        status = kExitInterrupted;
    io.err.flush();
    return status;
}

QCoro::Task<int> runBatch(BatchRun::Action action, QStringList args, CliIo io)
{
    BatchOptions options;
    if (const std::optional<int> done = parseBatch(action, args, io, options))
        co_return *done;
    ConfigStore config;
    const NivetDefaults defaults = config.defaults();
    // Any output default other than the three text formats shows as text.
    const std::optional<ExportFormat> requestedText
        = options.requested ? textFormatNamed(ExportFormats::rawValue(*options.requested)) : std::nullopt;
    const ExportFormat shown = requestedText.value_or(textFormatNamed(defaults.output).value_or(ExportFormat::text));

    BatchRun::ServiceFactory service
        = [](const QString &url) { return std::make_unique<MCPClient>(url, std::make_shared<TokenSource>()); };
    if (options.offline) {
        const auto trusted = EvidenceCommands::trustedCas(options.tsaCa);
        if (!trusted)
            co_return Cli::fail(io, trusted.error().description);
        service = [cas = *trusted](const QString &) { return std::make_unique<OfflineVerifier>(cas); };
    }
    BatchRun run(service);
    if (io.errIsTerminal) {
        QObject::connect(&run, &BatchRun::progress, &run,
            [&io](int number, int count, const QString &path, qint64 done, qint64 total) {
                showProgress(io, number, count, path, done, total);
            });
    }
    const BatchRun::ScopeSource scope = [&config] { return config.defaults().scope; };
    std::optional<InterruptWatch> interrupts;
    interrupts.emplace(run, io);
    auto running = run.run(action, options.files, defaults.url, scope);
    co_await running;
    interrupts.reset();
    if (io.errIsTerminal)
        io.err << QStringLiteral("\r\x1b[K");
    co_return report(run, options, shown, io);
}

} // namespace

bool drawsPdf(const QStringList &args)
{
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.addOptions({ kFormat, kSave });
    parser.parse(QStringList { u"nivet-timestamp"_s } + args);
    return parser.value(kFormat) == "pdf"_L1 || parser.value(kSave).endsWith(".pdf"_L1, Qt::CaseInsensitive);
}

QCoro::Task<int> registerFiles(QStringList args, CliIo io)
{
    return runBatch(BatchRun::Action::registerFiles, std::move(args), io);
}

QCoro::Task<int> verifyFiles(QStringList args, CliIo io)
{
    return runBatch(BatchRun::Action::verifyFiles, std::move(args), io);
}

} // namespace BatchCommands
