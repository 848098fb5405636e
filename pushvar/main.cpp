#include "pushvar/pushvar.h"

int main(int argc, char** argv) {
    return pushvar_main(argc, argv);
}
