// statkeepcfg: edits a sensor configuration and prints the result.
#include "Statkeepcfg.h"

int main(int argc, char* argv[]) {
    Statkeepcfg cfg;
    return cfg.produceConfig(argc, argv);
}
