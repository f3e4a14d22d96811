#include "base/local_time.h"

std::tm local_time(std::time_t when) {
  std::tm local{};
  localtime_r(&when, &local);
  return local;
}
