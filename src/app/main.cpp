#include "app/TSApplication.h"

int main(int argc, char* argv[]) {
    return RunTessaro(argc, argv);
}
