#pragma once

#include <QString>

#include <functional>

class updata;

// The updater program: its command line, its window and its event loop. The trusted keys (comma-separated) belong to
// the program file (none is unsigned mode); configure, when given, adjusts the window before the update sequence runs.
namespace UpdaterMain {
int run(int argc, char* argv[], const QString& publicKeys, const std::function<void(updata&)>& configure = {});
} // namespace UpdaterMain
