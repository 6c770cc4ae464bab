#include "jobs/program.h"

bool watching = false;
std::vector<std::string> args;
