#include "CommandLine.h"

#include "IntervalParser.h"

#include <QCommandLineParser>

namespace {
std::optional<CommandLine::Options> refuse(QString* error, const QString& reason)
{
    if (error)
        *error = reason;
    return std::nullopt;
}
} // namespace

std::optional<CommandLine::Options> CommandLine::parse(const QStringList& arguments, QString* error)
{
    QCommandLineParser parser;
    const QCommandLineOption start(QStringLiteral("start"));
    const QCommandLineOption fullScreen(QStringLiteral("fullscreen"));
    const QCommandLineOption url(QStringLiteral("url"), {}, QStringLiteral("URL"));
    const QCommandLineOption interval(QStringLiteral("interval"), {}, QStringLiteral("seconds"));
    const QCommandLineOption watch(QStringLiteral("watch"), {}, QStringLiteral("selector"));
    const QCommandLineOption watchText(QStringLiteral("watch-text"), {}, QStringLiteral("text"));
    parser.addOptions({start, fullScreen, url, interval, watch, watchText});
    // "-start" is not "--start": single-dash words are taken as short options, none of which exist.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsCompactedShortOptions);
    if (!parser.parse(arguments.isEmpty() ? QStringList{QString()} : arguments))
        return refuse(error, parser.errorText());
    if (!parser.positionalArguments().isEmpty())
        return refuse(error,
                      QStringLiteral("Unexpected argument '%1'.").arg(parser.positionalArguments().constFirst()));
    // The parser takes whatever follows "--url" as its value: in "--url --start" the option would be the URL.
    for (qsizetype i = 1; i + 1 < arguments.size() && arguments.at(i) != QLatin1String("--"); ++i) {
        const QString& name = arguments.at(i);
        if ((name == u"--url" || name == u"--watch" || name == u"--watch-text") &&
            arguments.at(i + 1).startsWith(QLatin1Char('-')))
            return refuse(error, QStringLiteral("Missing value after '%1' (a value that begins with '-' is given as "
                                                "%1=<value>).")
                                     .arg(name));
    }
    Options options;
    options.start = parser.isSet(start);
    options.fullScreen = parser.isSet(fullScreen);
    if (parser.isSet(url))
        options.url = parser.value(url);
    if (parser.isSet(interval)) {
        // Only what the interval box accepts: with --start a refused value would stop at a message box on an
        // unattended machine, and without it the value would be saved over the stored interval on exit.
        if (!IntervalParser::seconds(parser.value(interval)))
            return refuse(error, QStringLiteral("Invalid interval '%1': %2")
                                     .arg(parser.value(interval), IntervalParser::invalidMessage()));
        options.interval = parser.value(interval);
    }
    if (parser.isSet(watch))
        options.watch = parser.value(watch);
    if (parser.isSet(watchText))
        options.watchText = parser.value(watchText);
    return options;
}

QString CommandLine::usage()
{
    return QStringLiteral("用法: Pagewell [--start] [--fullscreen] [--url <网址>] [--interval <秒数>] [--watch <CSS 选择器>] "
                          "[--watch-text <文字>]");
}
