#include "log/phase_time.h"

#include "log/log_setup.h"

void LogPhaseTime(const char* phase, std::chrono::steady_clock::duration took) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(took).count();
  LOG(INFO) << "The " << phase << " took " << static_cast<long long>(ms) << " ms";
}
