#include "e2e/scenario.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "model/version.h"

namespace scenario {

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Index of the "}" that closes a group starting at `from`, skipping escaped
// characters; npos when there is none.
size_t closingBrace(const std::string& in, size_t from) {
    for (size_t i = from; i < in.size(); ++i) {
        if (in[i] == '\\') {
            ++i;
        } else if (in[i] == '}') {
            return i;
        }
    }
    return std::string::npos;
}

// True when the line ends in an odd number of backslashes: the last one
// joins the line to the next.
bool endsInJoin(const std::string& line) {
    size_t n = 0;
    while (n < line.size() && line[line.size() - 1 - n] == '\\') ++n;
    return n % 2 == 1;
}

// Appends one line's decoded text, with its line feed unless it joins.
bool appendTextLine(const std::string& raw, std::string& out, std::string& error) {
    bool join = endsInJoin(raw);
    std::string decoded;
    if (!decodeText(join ? raw.substr(0, raw.size() - 1) : raw, decoded, error)) return false;
    out += decoded;
    if (!join) out += '\n';
    return true;
}

std::string trimRight(const std::string& s) {
    size_t end = s.size();
    while (end > 0 && (isBlank(s[end - 1]) || s[end - 1] == '\r')) --end;
    return s.substr(0, end);
}

// Takes the next raw word from `line` at `pos` (blanks separate, quotes
// group, escapes kept for decodeText). Empty when the line is used up.
std::string nextRawWord(const std::string& line, size_t& pos, bool& quoted) {
    while (pos < line.size() && isBlank(line[pos])) ++pos;
    std::string raw;
    quoted = false;
    bool inQuotes = false;
    while (pos < line.size()) {
        char c = line[pos];
        if (c == '\\' && pos + 1 < line.size()) {
            raw += c;
            raw += line[pos + 1];
            pos += 2;
            continue;
        }
        if (c == '"') {
            inQuotes = !inQuotes;
            quoted = true;
            ++pos;
            continue;
        }
        if (!inQuotes && isBlank(c)) break;
        raw += c;
        ++pos;
    }
    return raw;
}

struct Shape {
    size_t minWords;
    size_t maxWords;  // fixed words before any text
    bool text;        // takes inline text or a here-document
};

const std::map<std::string, Shape>& shapes() {
    static const std::map<std::string, Shape> table = {
        {"requires", {1, 1, false}},      {"progress", {1, 1, false}},
        {"bare", {0, 0, false}},          {"tmpfs", {2, 2, false}},
        {"package", {1, 1000, false}},    {"place", {2, 2, false}},
        {"file", {1, 1, true}},           {"dir", {1, 1, false}},
        {"symlink", {2, 2, false}},       {"remove", {1, 1, false}},
        {"run", {1, 1000, false}},        {"status", {1, 1, false}},
        {"stdout", {0, 0, true}},         {"stderr", {0, 0, true}},
        {"expect-file", {1, 1, true}},    {"expect-same", {2, 2, false}},
        {"expect-absent", {1, 1, false}}, {"expect-link", {2, 2, false}},
        {"expect-mode", {2, 2, false}},   {"expect-tree", {1, 1, true}},
        {"expect-match", {1, 1, true}},   {"move", {2, 2, false}},
        {"stdout-has", {1, 1, false}},    {"stdout-lacks", {1, 1, false}},
        {"stderr-has", {1, 1, false}},    {"expect-unchanged", {0, 1000, false}},
    };
    return table;
}

}  // namespace

bool decodeText(const std::string& in, std::string& out, std::string& error) {
    out.clear();
    for (size_t i = 0; i < in.size(); ++i) {
        char c = in[i];
        if (c != '\\') {
            out += c;
            continue;
        }
        if (++i >= in.size()) {
            error = "lone backslash at the end of \"" + in + "\"";
            return false;
        }
        switch (in[i]) {
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case 't':
                out += '\t';
                break;
            case 'e':
                out += '\x1B';
                break;
            case 's':
                out += ' ';
                break;
            case '0':
                out += '\0';
                break;
            case '\\':
            case '"':
                out += in[i];
                break;
            case 'x': {
                int hi = i + 1 < in.size() ? hexValue(in[i + 1]) : -1;
                int lo = i + 2 < in.size() ? hexValue(in[i + 2]) : -1;
                if (hi < 0 || lo < 0) {
                    error = "\\x needs two hex digits in \"" + in + "\"";
                    return false;
                }
                out += char(hi * 16 + lo);
                i += 2;
                break;
            }
            case '{': {
                size_t colon = in.find(':', i + 1);
                size_t close = colon == std::string::npos ? colon : closingBrace(in, colon + 1);
                if (close == std::string::npos) {
                    error = "unterminated \\{N:T} in \"" + in + "\"";
                    return false;
                }
                std::string countText = in.substr(i + 1, colon - i - 1);
                if (countText.empty() ||
                    countText.find_first_not_of("0123456789") != std::string::npos ||
                    countText.size() > 9) {
                    error = "bad repeat count \"" + countText + "\"";
                    return false;
                }
                std::string unit;
                if (!decodeText(in.substr(colon + 1, close - colon - 1), unit, error)) return false;
                for (long n = std::stol(countText); n > 0; --n) out += unit;
                i = close;
                break;
            }
            case 'v': {
                size_t close =
                    i + 1 < in.size() && in[i + 1] == '{' ? in.find('}', i + 2) : std::string::npos;
                if (close == std::string::npos) {
                    error = "\\v needs {VERSION} in \"" + in + "\"";
                    return false;
                }
                std::string text = in.substr(i + 2, close - i - 2);
                Version v = 0;
                if (!parseVersion(text, v)) {
                    error = "bad version \"" + text + "\"";
                    return false;
                }
                out += std::to_string(v);
                i = close;
                break;
            }
            default:
                error = std::string("unknown escape \\") + in[i] + " in \"" + in + "\"";
                return false;
        }
    }
    return true;
}

bool splitWords(const std::string& line, std::vector<std::string>& words, std::string& error) {
    size_t pos = 0;
    while (true) {
        bool quoted = false;
        std::string raw = nextRawWord(line, pos, quoted);
        if (raw.empty() && !quoted) return true;
        std::string word;
        if (!decodeText(raw, word, error)) return false;
        words.push_back(word);
    }
}

bool parseScenarioText(const std::string& path, const std::string& text, Scenario& out,
                       std::string& error) {
    out = Scenario();
    out.path = path;
    out.name = std::filesystem::path(path).stem().string();
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) lines.push_back(l);

    for (size_t n = 0; n < lines.size(); ++n) {
        auto fail = [&](const std::string& message) {
            error = path + ":" + std::to_string(n + 1) + ": " + message;
            return false;
        };
        std::string line = trimRight(lines[n]);
        size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == '#') continue;

        Directive d;
        d.line = d.lastLine = int(n + 1);
        size_t pos = first;
        bool quoted = false;
        d.keyword = nextRawWord(line, pos, quoted);
        auto shape = shapes().find(d.keyword);
        if (shape == shapes().end()) return fail("unknown directive \"" + d.keyword + "\"");

        if (!shape->second.text) {
            if (!splitWords(line.substr(pos), d.words, error)) return fail(error);
        } else {
            for (size_t k = 0; k < shape->second.maxWords; ++k) {
                std::string raw = nextRawWord(line, pos, quoted);
                if (raw.empty() && !quoted) break;
                std::string word;
                if (!decodeText(raw, word, error)) return fail(error);
                d.words.push_back(word);
            }
            std::string rest = line.substr(std::min(pos, line.size()));
            size_t start = rest.find_first_not_of(" \t");
            rest = start == std::string::npos ? std::string() : rest.substr(start);
            if (rest.rfind("<<", 0) == 0 && rest.size() > 2 &&
                rest.find_first_of(" \t") == std::string::npos) {
                std::string mark = rest.substr(2);
                size_t end = n + 1;
                while (end < lines.size() && trimRight(lines[end]) != mark) ++end;
                if (end == lines.size())
                    return fail("here-document without its end \"" + mark + "\"");
                for (size_t k = n + 1; k < end; ++k) {
                    std::string raw = lines[k];
                    if (!raw.empty() && raw.back() == '\r') raw.pop_back();
                    if (!appendTextLine(raw, d.text, error)) {
                        n = k;
                        return fail(error);
                    }
                }
                n = end;
                d.lastLine = int(end + 1);
            } else if (!rest.empty()) {
                if (!appendTextLine(rest, d.text, error)) return fail(error);
            }
        }
        if (d.words.size() < shape->second.minWords || d.words.size() > shape->second.maxWords)
            return fail("wrong number of words for \"" + d.keyword + "\"");

        if (d.keyword == "requires") {
            if (d.words[0] != "root") return fail("only \"requires root\" is known");
            out.requiresRoot = true;
            continue;
        }
        if (d.keyword == "progress") {
            if (d.words[0] != "exact") return fail("only \"progress exact\" is known");
            out.exactProgress = true;
            continue;
        }
        if (d.keyword == "bare") {
            out.bare = true;
            continue;
        }
        if (d.keyword == "tmpfs") out.requiresRoot = true;
        if (d.keyword == "run") {
            auto dashes = std::find(d.words.begin(), d.words.end(), "--");
            if (dashes == d.words.end())
                return fail("run needs \"--\" before the installer's arguments");
            if (std::find(d.words.begin(), dashes, "chroot") != dashes) out.requiresRoot = true;
        }
        if (d.keyword == "package") {
            for (size_t k = 1; k < d.words.size(); ++k)
                if (d.words[k].find('=') == std::string::npos)
                    return fail("package option without \"=\": " + d.words[k]);
        }
        out.directives.push_back(std::move(d));
    }
    return true;
}

bool parseScenario(const std::string& path, Scenario& out, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = path + ": cannot read";
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    return parseScenarioText(path, text.str(), out, error);
}

std::vector<std::string> listScenarioFiles(const std::string& dir) {
    std::vector<std::string> files;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
        if (entry.path().extension() == ".scn") files.push_back(entry.path().string());
    }
    std::sort(files.begin(), files.end());
    return files;
}

}  // namespace scenario
