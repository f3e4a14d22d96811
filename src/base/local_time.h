#pragma once

#include <ctime>

// The calendar time of `when` in the local time zone; safe to call from any thread
// (localtime_r on Linux, localtime_s on Windows).
std::tm local_time(std::time_t when);
