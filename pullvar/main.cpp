#include "pullvar/pullvar.h"

int main(int argc, char** argv) {
    return pullvar_main(argc, argv);
}
