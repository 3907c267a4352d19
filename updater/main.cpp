#include "UpdaterMain.h"

int main(int argc, char* argv[])
{
    // Built in, never read from outside: whoever could add a key could sign anything.
    return UpdaterMain::run(argc, argv, QStringLiteral(PAGEWELL_UPDATE_PUBLIC_KEY));
}
