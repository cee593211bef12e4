#include "console/logger.h"

#include <cstdio>
#include <ctime>

#include "console/console.h"
#include "platform/clock.h"

Logger::Logger(const std::string& file_name) : file(file_name, std::ios::out | std::ios::app) {}

std::string format_log_timestamp(int year, int month, int day, int hour, int minute, int second) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d:%02d", year, month, day, hour,
                  minute, second);
    return buffer;
}

void Logger::log(const std::string& message) {
    std::lock_guard<std::mutex> lock(mutex);
    // Read the clock inside the lock so the file's lines are in timestamp order.
    const std::tm now = platform::local_time(std::time(nullptr));
    file << format_log_timestamp(now.tm_year + 1900, now.tm_mon + 1, now.tm_mday, now.tm_hour,
                                 now.tm_min, now.tm_sec)
         << ' ' << printable(message) << '\n';
    file.flush();
}
