#include "mkvar/mkvar.h"

int main(int argc, char** argv) {
    return mkvar_main(argc, argv);
}
