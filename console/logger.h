// The program's permanent record: an append-only text file with one time-stamped line per event.
// One Logger exists per run; every subsystem gets it by reference. Safe to call from any thread.
#pragma once

#include <fstream>
#include <mutex>
#include <string>

class Logger {
  public:
    // Opens (creating if needed, never truncating) the file relative to the current directory.
    // A file that cannot be opened is not reported: later lines are silently dropped.
    explicit Logger(const std::string& file_name);
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    // Appends "YYYY-MM-DD HH:MM:SS <message>" and a line break, then flushes. Control characters
    // of the message are written escaped (see printable), so one call is always one line.
    void log(const std::string& message);

  private:
    std::ofstream file;
    std::mutex mutex;
};

// The timestamp text of a log line for the given broken-down local time.
std::string format_log_timestamp(int year, int month, int day, int hour, int minute, int second);
