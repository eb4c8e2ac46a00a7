#include "cli/batchcommands.h"

#include "cli/cliargs.h"
#include "core/batchrun.h"
#include "core/text.h"
#include "export/exportactions.h"
#include "export/exportformat.h"
#include "export/exporttext.h"
#include "mcp/mcpclient.h"
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

namespace BatchCommands {

namespace {

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
    if (suffix == QLatin1String("json"))
        return ExportFormat::json;
    if (suffix == QLatin1String("csv"))
        return ExportFormat::csv;
    if (suffix == QLatin1String("txt"))
        return ExportFormat::text;
    if (suffix == QLatin1String("pdf"))
        return ExportFormat::pdf;
    return std::nullopt;
}

struct SaveTarget {
    QString path;
    ExportFormat format;
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

// Ctrl+C asks the run to stop after the file in hand. The handler only
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
            io.err << (io.errIsTerminal ? QStringLiteral("\r\x1b[K") : QString())
                   << QStringLiteral("Stopping after the current file…\n");
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

QCoro::Task<int> runBatch(BatchRun::Action action, QStringList args, CliIo io)
{
    const QString command
        = action == BatchRun::Action::registerFiles ? QStringLiteral("register: ") : QStringLiteral("verify: ");
    const Expected<CliArgs> parsed = CliArgs::parse(args, { QStringLiteral("format"), QStringLiteral("save") });
    if (!parsed)
        co_return Cli::usageError(io, command + parsed.error().description);
    if (parsed->operands.isEmpty())
        co_return Cli::usageError(io, command + QStringLiteral("no files given"));

    std::optional<ExportFormat> requested;
    if (parsed->has(QStringLiteral("format"))) {
        requested = ExportFormats::fromRawValue(parsed->value(QStringLiteral("format")));
        if (!requested) {
            co_return Cli::usageError(io,
                command
                    + QStringLiteral("unknown format \"%1\" (json, csv, text or pdf)")
                          .arg(parsed->value(QStringLiteral("format"))));
        }
        // A PDF is a file, never terminal output.
        if (requested == ExportFormat::pdf && !parsed->has(QStringLiteral("save")))
            co_return Cli::usageError(io, command + QStringLiteral("--format pdf needs --save PATH"));
    }
    // A bad --save is refused before anything is stamped.
    std::optional<SaveTarget> save;
    if (parsed->has(QStringLiteral("save"))) {
        const QString path = parsed->value(QStringLiteral("save"));
        if (path.isEmpty())
            co_return Cli::usageError(io, command + QStringLiteral("--save needs a file name"));
        const std::optional<ExportFormat> format = requested ? requested : formatForFileName(path);
        if (!format) {
            co_return Cli::usageError(io,
                command
                    + QStringLiteral(
                        "cannot tell the format of \"%1\": name it .json, .csv, .txt or .pdf, or give --format")
                          .arg(path));
        }
        save = SaveTarget { path, *format };
    }

    ConfigStore config;
    const NivetDefaults defaults = config.defaults();
    // Any output default other than the three text formats shows as text.
    const std::optional<ExportFormat> requestedText
        = requested ? textFormatNamed(ExportFormats::rawValue(*requested)) : std::nullopt;
    const ExportFormat shown = requestedText.value_or(textFormatNamed(defaults.output).value_or(ExportFormat::text));

    // Rows and receipt files name the files by their full path.
    QStringList files;
    for (const QString &operand : parsed->operands)
        files.append(QDir::cleanPath(QFileInfo(operand).absoluteFilePath()));

    BatchRun run([](const QString &url) { return std::make_unique<MCPClient>(url); });
    if (io.errIsTerminal) {
        QObject::connect(&run, &BatchRun::progress, &run,
            [&io](int number, int count, const QString &path, qint64 done, qint64 total) {
                showProgress(io, number, count, path, done, total);
            });
    }
    const QString url = defaults.url;
    const BatchRun::ScopeSource scope = [&config] { return config.defaults().scope; };
    std::optional<InterruptWatch> interrupts;
    interrupts.emplace(run, io);
    auto running = run.run(action, files, url, scope);
    co_await running;
    interrupts.reset();
    if (io.errIsTerminal)
        io.err << QStringLiteral("\r\x1b[K");

    const QList<FileResult> rows = run.results();
    if (const std::optional<QString> text = exportText(rows, shown))
        io.out << Cli::inert(*text) << QLatin1Char('\n');
    io.out.flush();
    io.err << Cli::inert(run.status()) << QLatin1Char('\n');

    int status = std::all_of(rows.begin(), rows.end(), [](const FileResult &r) { return r.passes(); })
        ? Cli::kExitOk
        : Cli::kExitFailure;

    if (save) {
        // saveExport renders and writes the file; its status text says how it went.
        const QString outcome
            = saveExport(rows, save->format, save->path).value_or(QStringLiteral("Export failed: nothing to write"));
        io.err << Cli::inert(outcome) << QLatin1Char('\n');
        if (outcome.startsWith(QLatin1String("Export failed: ")))
            status = Cli::kExitFailure;
    }
    if (run.stopped())
        status = kExitInterrupted;
    io.err.flush();
    co_return status;
}

} // namespace

QCoro::Task<int> registerFiles(QStringList args, CliIo io)
{
    return runBatch(BatchRun::Action::registerFiles, std::move(args), io);
}

QCoro::Task<int> verifyFiles(QStringList args, CliIo io)
{
    return runBatch(BatchRun::Action::verifyFiles, std::move(args), io);
}

} // namespace BatchCommands
