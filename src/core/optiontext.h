#pragma once

#include <QCommandLineOption>
#include <QList>
#include <QString>
#include <QStringList>

/// What both programs say about options QCommandLineParser refused, worded
/// from the arguments as the user typed them.
namespace OptionText {

/// The argument that gave the option name ("-f", "--fast=1"), as typed.
QString typedArgument(const QStringList &args, const QString &name);

/// Once unknown options are ruled out, what is left of a failed parse: a
/// value given to a flag ("--x takes no value") or a value missing at the end
/// ("--x needs a value"); prefix goes before the option ("option ").
QString valueProblem(const QList<QCommandLineOption> &options, const QStringList &args, const QString &prefix);

} // namespace OptionText
