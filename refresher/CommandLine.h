#pragma once

#include <QString>
#include <QStringList>

#include <optional>

// Pagewell's command line, for starting it unattended (from the desktop's autostart or a script):
//   --start            tick the enable box once the stored settings are loaded, as a user would
//   --fullscreen       show the page alone across the whole screen
//   --url <URL>        the URL field for this run; a URL that begins with "-" only as --url=<URL>
//   --interval <s>     the interval field for this run: only a value the field's box accepts
//   --watch <CSS selector>   be told when the text of the part of the page it finds changes ("" ends the watch)
//   --watch-text <text>      be told when the text appears in the page ("" ends the watch)
// Values given here are saved on exit like typed ones; the watches at once. Without options nothing changes.
namespace CommandLine {
struct Options
{
    bool start = false;
    bool fullScreen = false;
    std::optional<QString> url;
    std::optional<QString> interval;
    std::optional<QString> watch;
    std::optional<QString> watchText;
};

// The options in arguments (the program name first, as QCoreApplication::arguments() gives it); nothing for an
// unknown option, a missing or refused value or a stray argument, with the reason in error when given.
std::optional<Options> parse(const QStringList& arguments, QString* error = nullptr);

// One line for stderr.
QString usage();
} // namespace CommandLine
