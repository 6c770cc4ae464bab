#include "app/launch.h"

int main(int argc, char** argv) {
  return launch(std::vector<std::string>(argv, argv + argc));
}
