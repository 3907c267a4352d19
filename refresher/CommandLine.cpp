#include "CommandLine.h"

#include <QCommandLineParser>

std::optional<CommandLine::Options> CommandLine::parse(const QStringList& arguments, QString* error)
{
    QCommandLineParser parser;
    const QCommandLineOption start(QStringLiteral("start"));
    const QCommandLineOption url(QStringLiteral("url"), {}, QStringLiteral("URL"));
    const QCommandLineOption interval(QStringLiteral("interval"), {}, QStringLiteral("seconds"));
    parser.addOptions({start, url, interval});
    // "-start" is not "--start": single-dash words are taken as short options, none of which exist.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsCompactedShortOptions);
    if (!parser.parse(arguments.isEmpty() ? QStringList{QString()} : arguments)) {
        if (error)
            *error = parser.errorText();
        return std::nullopt;
    }
    if (!parser.positionalArguments().isEmpty()) {
        if (error)
            *error = QStringLiteral("Unexpected argument '%1'.").arg(parser.positionalArguments().constFirst());
        return std::nullopt;
    }
    Options options;
    options.start = parser.isSet(start);
    if (parser.isSet(url))
        options.url = parser.value(url);
    if (parser.isSet(interval))
        options.interval = parser.value(interval);
    return options;
}

QString CommandLine::usage()
{
    return QStringLiteral("用法: Pagewell [--start] [--url <网址>] [--interval <秒数>]");
}
