#include "app/settings.hpp"

int main(int argc, char **argv) { return talvik_main(argc, argv); }
