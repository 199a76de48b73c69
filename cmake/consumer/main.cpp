// A program outside the tree that links the installed libraries through find_package(Zelvan).
#include <cstdio>
#include "zelvan/DvsCameraManager.h"
int main() {
    zelvan::DvsCameraManager manager;
    std::printf("%zu cameras\n", manager.getCameraDescs().size());
}
