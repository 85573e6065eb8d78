// The run's console: messages and the progress line at the bottom of the
// terminal, each printed line also kept for the post-install log.
#include <cstdio>

#include "model/installer.h"

namespace {

// Erases the progress line on screen without forgetting it.
void eraseProgress(std::FILE* out) {
    std::fputs("\r", out);
    for (int i = 0; i < 79; ++i) std::fputc(' ', out);
    std::fputs("\r", out);
    std::fflush(out);
}

}  // namespace

void Installer::emit(const char* prefix, const char* format, va_list args) {
    std::string line = prefix ? prefix : "";
    char text[256];
    std::vsnprintf(text, sizeof text, format, args);
    line += text;
    if (quiet) return;
    if (!progressLine.empty()) eraseProgress(out);
    std::fputs(line.c_str(), out);
    std::fputc('\n', out);
    std::fflush(out);
    if (!progressLine.empty()) {
        std::fputs(progressLine.c_str(), out);
        std::fflush(out);
    }
    messages.push_back(std::move(line));
}

void Installer::info(const char* format, ...) {
    setProgress(std::string());
    va_list args;
    va_start(args, format);
    emit(nullptr, format, args);
    va_end(args);
}

void Installer::warning(const char* format, ...) {
    va_list args;
    va_start(args, format);
    emit("WARNING: ", format, args);
    va_end(args);
}

void Installer::error(const char* format, ...) {
    setProgress(std::string());
    va_list args;
    va_start(args, format);
    emit("ERROR: ", format, args);
    va_end(args);
}

void Installer::setProgress(const std::string& line) {
    if (quiet || line == progressLine) return;
    std::string text = "\x1b[?25l\r";
    text += line;
    if (progressLine.size() > line.size()) text.append(progressLine.size() - line.size(), ' ');
    text += "\r\x1b[?25h";
    std::fwrite(text.data(), 1, text.size(), out);
    std::fflush(out);
    progressLine = line;
}
