#include "catvar/catvar.h"

int main(int argc, char** argv) {
    return catvar_main(argc, argv);
}
