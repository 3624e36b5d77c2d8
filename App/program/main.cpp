#include "program/entry.h"

int main(int argc, char *argv[]) {
    return mirevaMain(argc, argv);
}
