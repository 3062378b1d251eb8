#include <string>
#include <vector>

#include "run/run.hpp"

int main(int argc, char** argv) {
    // Argument 0, the program's path, is not part of the argument list.
    std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
    return corvanelle::run(std::move(arguments));
}
