#pragma once

#include <QString>

#include <functional>

class updata;

// The updater program: its command line, its window and its event loop. The trusted key belongs to the program file
// (an empty one is unsigned mode); configure, when given, adjusts the window before the update sequence runs.
namespace UpdaterMain {
int run(int argc, char* argv[], const QString& publicKey, const std::function<void(updata&)>& configure = {});
} // namespace UpdaterMain
