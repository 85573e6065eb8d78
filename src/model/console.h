// The run's console: messages and the progress line at the bottom of the
// terminal on standard output, each printed line also kept for the
// post-install log; failed system calls on standard error; the spinner of
// long copies. Every message of the installer leaves through it.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "model/spinner.h"
#include "model/version.h"
#include "txn/apply_report.h"

// The install progress bar last drawn: what its caption depends on, the
// caption and the line, so that the next block can tell at once that
// nothing on screen would change.
struct ProgressBarState {
    std::string name;
    Version version = 0;
    bool disabled = false;
    std::string refName;
    Version refMin = 0;
    std::string caption;
    uint64_t filled = 0;
    std::string line;
};

class Console final : public ApplyReport {
  public:
    explicit Console(std::FILE* out = stdout, std::FILE* err = stderr) : out(out), err(err) {}

    std::FILE* out;
    std::FILE* err;
    uint8_t quiet = 0;
    std::string progressLine;           // on screen now; "" when none
    std::vector<std::string> messages;  // every printed line, for the log
    bool logReserved = false;           // the log's room was taken at the start
    ProgressBarState bar;

    // A line with `prefix` ("WARNING: ", or none), printed above the
    // progress line unless quiet, and kept for the log.
    void emit(const char* prefix, const char* format, va_list args);
    void setProgress(const std::string& line);
    // Text as it is (usage, the package list): neither quiet nor logged.
    void print(const std::string& text);
    void systemError(const char* operation, int error) override;
    void copyProgress() override;

  private:
    Spinner spinner_;
};
