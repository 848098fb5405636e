#include "linkcheck/linkcheck.h"

int main(int argc, char** argv) {
    return linkcheck_main(argc, argv);
}
