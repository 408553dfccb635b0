// What every benchmark reports beside its own figures: the machine's load and the CPU time spent.
#pragma once

#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>

#include "support/game_process.hpp"

namespace bench {

// The load average over 1, 5 and 15 minutes, as "0.42 0.30 0.25".
inline std::string load_average() {
  double load[3] = {0, 0, 0};
  if (getloadavg(load, 3) != 3) return "unknown";
  char text[64];
  std::snprintf(text, sizeof text, "%.2f %.2f %.2f", load[0], load[1], load[2]);
  return text;
}

// CPU seconds (user and system) this process has used so far, all its threads together.
inline double cpu_seconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The most resident memory this process has had, in kB.
inline long peak_resident_kb() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// CPU seconds another process (a child: the X server, a game) has used so far.
inline double cpu_seconds_of(pid_t pid) {
  const std::string stat = testing_support::read_file("/proc/" + std::to_string(pid) + "/stat");
  const std::size_t close = stat.rfind(')');
  if (close == std::string::npos) return 0.0;
  // After the command: state, then 10 fields, then utime and stime (clock ticks).
  std::istringstream fields(stat.substr(close + 2));
  std::string field;
  double ticks = 0.0;
  for (int i = 1; i <= 13 && fields >> field; ++i)
    if (i >= 12) ticks += std::stod(field);
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Balls lost so far in a game, from its log in `dir`.
inline int lost_balls(const std::filesystem::path& dir) {
  int lost = 0;
  for (const auto& message : testing_support::log_messages(dir))
    if (message.find(" upuscil kulke, ") != std::string::npos) ++lost;
  return lost;
}

}  // namespace bench
