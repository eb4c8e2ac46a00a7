#include "cli/cliargs.h"

Expected<CliArgs> CliArgs::parse(const QStringList &args, const QStringList &valued, const QStringList &flagNames)
{
    CliArgs out;
    bool optionsEnded = false;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString arg = args.at(i);
        if (optionsEnded || !arg.startsWith(QLatin1Char('-')) || arg == QLatin1String("-")) {
            out.operands.append(arg);
            continue;
        }
        if (arg == QLatin1String("--")) {
            optionsEnded = true;
            continue;
        }
        QString name = arg.mid(arg.startsWith(QLatin1String("--")) ? 2 : 1);
        std::optional<QString> inlineValue;
        if (const qsizetype eq = name.indexOf(QLatin1Char('=')); eq >= 0) {
            inlineValue = name.mid(eq + 1);
            name.truncate(eq);
        }
        if (flagNames.contains(name) && arg.startsWith(QLatin1String("--"))) {
            if (inlineValue)
                return Error { QStringLiteral("option --%1 takes no value").arg(name) };
            out.flags.insert(name);
            continue;
        }
        if (!valued.contains(name) || !arg.startsWith(QLatin1String("--")))
            return Error { QStringLiteral("unknown option \"%1\"").arg(arg) };
        if (out.values.contains(name))
            return Error { QStringLiteral("option --%1 given twice").arg(name) };
        if (inlineValue) {
            out.values.insert(name, *inlineValue);
        } else if (i + 1 < args.size()) {
            out.values.insert(name, args.at(++i));
        } else {
            return Error { QStringLiteral("option --%1 needs a value").arg(name) };
        }
    }
    return out;
}
