#include "zandor.hpp"

int main(int argc, char** argv) {
    return zandor_main(argc, argv);
}
