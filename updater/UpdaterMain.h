#pragma once

#include <QString>

#include <functional>

class updata;

// The updater program: its command line, its window and its event loop. The trusted keys (comma-separated) belong to
// the program file (none is unsigned mode); configure, when given, adjusts the window before the update sequence runs.
namespace UpdaterMain {
// An updater about to replace the running one is first run with this option alone: it answers with the line below and
// its file version, and status 0, once it has loaded and its built-in keys parse; it touches nothing.
constexpr const char* SelfTestOption = "--self-test";
constexpr const char* SelfTestAnswer = "pagewell-update self-test passed";

int run(int argc, char* argv[], const QString& publicKeys, const std::function<void(updata&)>& configure = {});
} // namespace UpdaterMain
