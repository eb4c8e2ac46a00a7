#include "ui/appcommandline.h"

#include <QCommandLineParser>
#include <QFileInfo>

using namespace Qt::StringLiterals;

namespace {

const QCommandLineOption kHelp(QStringList { u"h"_s, u"help"_s });
const QCommandLineOption kVersion(u"version"_s);
const QCommandLineOption kRegister(u"register"_s);
const QCommandLineOption kVerify(u"verify"_s);

// "-platform" is one of Qt's options, never -p -l -a … (whose -h would be help).
bool parseInto(QCommandLineParser &parser, const QStringList &args)
{
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.addOptions({ kHelp, kVersion, kRegister, kVerify });
    parser.addPositionalArgument(u"files"_s, QString());
    return parser.parse(QStringList { u"nivet-timestamping"_s } + args);
}

} // namespace

QString AppCommandLine::usage()
{
    return QStringLiteral("Usage: nivet-timestamping [--register | --verify] [FILE...]\n"
                          "Proves when files existed: hashes them locally and sends only their SHA-256\n"
                          "digests to the timestamping service, which returns receipts kept on this machine.\n"
                          "\n"
                          "Options:\n"
                          "  --register     register the files at once\n"
                          "  --verify       verify the files at once\n"
                          "  -h, --help     show this help and exit\n"
                          "  --version      show the version and exit\n"
                          "\n"
                          "The files are added to the window's list; \"--\" ends the options. Qt's own\n"
                          "options (such as -platform or -style) are accepted too. The settings are those\n"
                          "of nivet-timestamp, in $XDG_DATA_HOME/Nivet (or ~/.local/share/Nivet).\n");
}

std::optional<QString> AppCommandLine::answer(const QStringList &args)
{
    QCommandLineParser parser;
    parseInto(parser, args); // Qt's options are still among args: only these two count here
    if (parser.isSet(kHelp))
        return usage();
    if (parser.isSet(kVersion))
        return QStringLiteral("nivet-timestamping %1\n").arg(QStringLiteral(NIVET_VERSION));
    return std::nullopt;
}

Expected<AppCommandLine> AppCommandLine::parse(const QStringList &args)
{
    QCommandLineParser parser;
    if (!parseInto(parser, args))
        return Error { parser.errorText() };
    if (parser.isSet(kRegister) && parser.isSet(kVerify))
        return Error { u"--register and --verify cannot both be given"_s };
    AppCommandLine line;
    for (const QString &file : parser.positionalArguments()) {
        if (!file.isEmpty())
            line.files.append(QFileInfo(file).absoluteFilePath());
    }
    if (parser.isSet(kRegister))
        line.action = BatchRun::Action::registerFiles;
    else if (parser.isSet(kVerify))
        line.action = BatchRun::Action::verifyFiles;
    if (line.action && line.files.isEmpty())
        return Error { u"--%1 needs files"_s.arg(parser.isSet(kRegister) ? u"register"_s : u"verify"_s) };
    return line;
}
