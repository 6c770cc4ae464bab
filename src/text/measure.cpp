#include "text/measure.h"

#include "jobs/failure.h"

std::vector<double> measure(const Job&) {
  throw Failure("Text measurement (measure) is not available in this build of ToviHelper");
}
