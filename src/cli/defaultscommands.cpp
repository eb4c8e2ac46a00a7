#include "cli/defaultscommands.h"

#include "export/exportformat.h"
#include "mcp/mcpclient.h"
#include "storage/configstore.h"

using namespace Qt::StringLiterals;

namespace DefaultsCommands {

void printDefaults(CliIo &io, const NivetDefaults &defaults)
{
    io.out << Cli::inert(
        QStringLiteral("url: %1\nscope: %2\noutput: %3\n").arg(defaults.url, defaults.scope, defaults.output));
    io.out.flush();
}

QCoro::Task<int> setDefaults(QStringList args, CliIo io)
{
    const QCommandLineOption urlOption(u"url"_s, u"The MCP endpoint runs send their digests to."_s, u"URL"_s);
    const QCommandLineOption scopeOption(u"scope"_s, u"The scope runs ask for."_s, u"SCOPE"_s);
    const QCommandLineOption outputOption(u"output"_s, u"The output format: text, json, csv or pdf."_s, u"FORMAT"_s);
    QCommandLineParser parser;
    const Cli::CommandLine line { u"set-defaults [options]"_s, u"Change the defaults given; show all three."_s,
        { urlOption, scopeOption, outputOption } };
    if (const auto done = Cli::parseCommand(parser, line, args, io))
        co_return *done;
    if (!parser.positionalArguments().isEmpty())
        co_return Cli::usageError(
            io, u"set-defaults: unexpected argument \"%1\""_s.arg(parser.positionalArguments().constFirst()));

    // Refused here rather than silently replaced by the built-in endpoint
    // when the next run starts.
    const QString url = parser.value(urlOption);
    if (parser.isSet(urlOption) && !MCPClient::isUsableEndpoint(url))
        co_return Cli::fail(io, u"Invalid MCP URL: \"%1\" is not an http or https URL"_s.arg(url));
    const QString output = parser.value(outputOption);
    if (parser.isSet(outputOption) && !ExportFormats::fromRawValue(output))
        co_return Cli::usageError(io, u"set-defaults: unknown output \"%1\" (text, json, csv or pdf)"_s.arg(output));

    ConfigStore config;
    NivetDefaults defaults = config.defaults();
    if (parser.isSet(urlOption))
        defaults.url = url;
    if (parser.isSet(scopeOption))
        defaults.scope = parser.value(scopeOption);
    if (parser.isSet(outputOption))
        defaults.output = output;
    config.setDefaults(defaults);
    auto saving = config.save();
    if (const auto saved = co_await saving; !saved)
        co_return Cli::fail(io, QStringLiteral("The defaults were not saved: ") + saved.error().describe());
    printDefaults(io, defaults);
    co_return Cli::kExitOk;
}

} // namespace DefaultsCommands
