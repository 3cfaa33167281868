// The console bridge.
#include "bridge/QZVAppQ.h"

int main(int argc, char** argv)
{
    return ConvMain("qzvq", argc, argv);
}
