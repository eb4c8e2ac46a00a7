#include "core/optiontext.h"

using namespace Qt::StringLiterals;

namespace OptionText {

QString typedArgument(const QStringList &args, const QString &name)
{
    for (const QString &arg : args) {
        if (arg == "--"_L1)
            break;
        if (arg.startsWith(u'-') && arg.mid(arg.startsWith("--"_L1) ? 2 : 1).section(u'=', 0, 0) == name)
            return arg;
    }
    return u"--"_s + name;
}

QString valueProblem(const QList<QCommandLineOption> &options, const QStringList &args, const QString &prefix)
{
    for (const QCommandLineOption &flag : options) {
        if (flag.valueName().isEmpty() && typedArgument(args, flag.names().constFirst()).contains(u'='))
            return u"%1--%2 takes no value"_s.arg(prefix, flag.names().constFirst());
    }
    const QString last = args.constLast();
    return u"%1--%2 needs a value"_s.arg(prefix, last.mid(last.startsWith("--"_L1) ? 2 : 1));
}

} // namespace OptionText
