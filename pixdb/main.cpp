#include "pixdb/pixdb.h"

int main(int argc, char** argv) {
    return pixdb_main(argc, argv);
}
