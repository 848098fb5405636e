#include "pullscreen/pullscreen.h"

int main(int argc, char** argv) {
    return pullscreen_main(argc, argv);
}
