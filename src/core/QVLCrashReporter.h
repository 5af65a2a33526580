// Crash reporting on Linux: a handler for the fatal signals writes a short report into the crash
// folder; the next launch attaches the tail of the log to it and offers it to the user.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace QVLCrashLog {

// The text attached to a crash report, from the log files given newest first: for each file,
// oldest first, its name and "\n", 58 equals signs and "\n", then its contents (invalid UTF-8
// replaced) and "\n" when they are not empty. An unreadable or empty file adds its name and
// separator only.
std::string applicationLogText(const std::vector<std::filesystem::path>& logFilesNewestFirst);

// The part of the text a report keeps: the whole text up to 10000 UTF-16 code units, else its last
// 5000, cut on a character boundary (a character is never split, so the tail may be one unit short).
std::string tail(const std::string& text);

// The length of UTF-8 text in UTF-16 code units (the unit the limits are given in).
std::size_t utf16Length(const std::string& text);

}  // namespace QVLCrashLog

namespace QVLCrashReporter {

// The crash folder, "Crashes" beside the log folder ($XDG_STATE_HOME/Quorvel/Crashes).
std::filesystem::path defaultFolder();

// Installs the handler for SIGSEGV, SIGBUS, SIGILL, SIGFPE and SIGABRT (on an alternate stack).
// On such a signal it writes "<folder>/Crash <time> <pid>.crash" (signal, version, a backtrace)
// using only calls that are safe there, then lets the signal end the process as before.
bool install(const std::filesystem::path& folder, const std::string& version);
bool isInstalled();

// Crashes recorded by earlier runs whose report is not made yet, oldest first.
std::vector<std::filesystem::path> pendingCrashes(const std::filesystem::path& folder);

// Turns a pending crash into its report: "<same name>.report" holding the crash text, a blank
// line, and the log text; the pending file is removed. Answers the report's path, or empty when
// it could not be written (the pending file then stays for the next launch).
std::filesystem::path makeReport(const std::filesystem::path& crash, const std::string& logText);

}  // namespace QVLCrashReporter
