#include "picvar/picvar.h"

int main(int argc, char** argv) {
    return picvar_main(argc, argv);
}
