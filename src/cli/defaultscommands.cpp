#include "cli/defaultscommands.h"

#include "cli/cliargs.h"
#include "export/exportformat.h"
#include "mcp/mcpclient.h"
#include "storage/configstore.h"

namespace DefaultsCommands {

void printDefaults(CliIo &io, const NivetDefaults &defaults)
{
    io.out << Cli::inert(
        QStringLiteral("url: %1\nscope: %2\noutput: %3\n").arg(defaults.url, defaults.scope, defaults.output));
    io.out.flush();
}

QCoro::Task<int> setDefaults(QStringList args, CliIo io)
{
    const Expected<CliArgs> parsed
        = CliArgs::parse(args, { QStringLiteral("url"), QStringLiteral("scope"), QStringLiteral("output") });
    if (!parsed)
        co_return Cli::usageError(io, QStringLiteral("set-defaults: ") + parsed.error().description);
    if (!parsed->operands.isEmpty())
        co_return Cli::usageError(
            io, QStringLiteral("set-defaults: unexpected argument \"%1\"").arg(parsed->operands.first()));

    // Refused here rather than silently replaced by the built-in endpoint
    // when the next run starts.
    const QString url = parsed->value(QStringLiteral("url"));
    if (parsed->has(QStringLiteral("url")) && !MCPClient::isUsableEndpoint(url))
        co_return Cli::fail(io, QStringLiteral("Invalid MCP URL: \"%1\" is not an http or https URL").arg(url));
    const QString output = parsed->value(QStringLiteral("output"));
    if (parsed->has(QStringLiteral("output")) && !ExportFormats::fromRawValue(output)) {
        co_return Cli::usageError(
            io, QStringLiteral("set-defaults: unknown output \"%1\" (text, json, csv or pdf)").arg(output));
    }

    ConfigStore config;
    NivetDefaults defaults = config.defaults();
    if (parsed->has(QStringLiteral("url")))
        defaults.url = url;
    if (parsed->has(QStringLiteral("scope")))
        defaults.scope = parsed->value(QStringLiteral("scope"));
    if (parsed->has(QStringLiteral("output")))
        defaults.output = output;
    config.setDefaults(defaults);
    config.save();
    // save() reports nothing; reading the file back tells whether it took.
    const ConfigStore reread;
    if (reread.defaults() != defaults)
        co_return Cli::fail(io, QStringLiteral("could not save the defaults to %1").arg(config.fileURL()));
    printDefaults(io, defaults);
    co_return Cli::kExitOk;
}

} // namespace DefaultsCommands
