// Text measurement in the installed fonts.
#pragma once

#include <vector>

#include "jobs/job.h"

// The rendered width in points of each of the job's strings in its font and size, in order.
// Throws Failure "measure needs font, size, strings" or "The font <name> isn't installed on this Mac".
std::vector<double> measure(const Job& job);
