#include "model/console.h"

#include <cstring>

namespace {

// Erases the progress line on screen without forgetting it.
void eraseProgress(std::FILE* out) {
    std::fputs("\r", out);
    for (int i = 0; i < 79; ++i) std::fputc(' ', out);
    std::fputs("\r", out);
    std::fflush(out);
}

}  // namespace

void Console::emit(const char* prefix, const char* format, va_list args) {
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

void Console::setProgress(const std::string& line) {
    if (quiet || line == progressLine) return;
    std::string text = "\x1b[?25l\r";
    text += line;
    if (progressLine.size() > line.size()) text.append(progressLine.size() - line.size(), ' ');
    text += "\r\x1b[?25h";
    std::fwrite(text.data(), 1, text.size(), out);
    std::fflush(out);
    progressLine = line;
}

void Console::print(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), out);
    std::fflush(out);
}

void Console::systemError(const char* operation, int error) {
    std::fprintf(err, "%s: %s\n", operation, std::strerror(error));
}

void Console::copyProgress() {
    spinner_.turn(uptimeTicks(), out);
}
