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

#include <algorithm>
#include <optional>

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

// "[2/3] name  1048576/4194304 bytes" on one line that each update replaces.
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
    const std::optional<ExportFormat> requestedText = requested ? textFormatNamed(ExportFormats::rawValue(*requested))
                                                                : std::nullopt;
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
    auto running = run.run(action, files, url, scope);
    co_await running;
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
