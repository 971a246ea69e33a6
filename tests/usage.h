// What a benchmark measures of a process, and the summaries of its figures.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace lumeno::test {

// CPU seconds (user + system) of a live process and its peak resident memory in MB.
struct Usage {
  double cpuSeconds = 0;
  double peakMB = 0;
};

inline Usage usageOf(pid_t pid) {
  Usage u;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (std::getline(stat, line)) {
    std::istringstream rest(line.substr(line.rfind(')') + 2));
    std::string field;
    std::vector<std::string> fields;
    while (rest >> field) fields.push_back(field);
    // After "pid (comm) ": state is field 0, utime field 11, stime field 12.
    if (fields.size() > 12)
      u.cpuSeconds = (std::stod(fields[11]) + std::stod(fields[12])) / double(sysconf(_SC_CLK_TCK));
  }
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  while (std::getline(status, line))
    if (line.rfind("VmHWM:", 0) == 0) u.peakMB = std::stod(line.substr(6)) / 1024.0;
  return u;
}

inline double median(std::vector<double> v) {
  if (v.empty()) return NAN;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

inline double percentile(std::vector<double> v, double p) {
  if (v.empty()) return NAN;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, size_t(p * double(v.size())))];
}

}  // namespace lumeno::test
