#include "TLauncherApplication.h"

int main(int argc, char** argv)
{
    return zarvo::launcher::runLauncher(argc, argv);
}
