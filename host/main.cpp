#include "hostrun.h"

int main(int argc, char **argv)
{
    return quv::host::runHost(argc, argv);
}
