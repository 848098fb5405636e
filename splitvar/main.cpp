#include "splitvar/splitvar.h"

int main(int argc, char** argv) {
    return splitvar_main(argc, argv);
}
