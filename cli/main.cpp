#include "cli/cli.hpp"

int main(int argc, char** argv) { return tessaline::cli::main(argc, argv); }
