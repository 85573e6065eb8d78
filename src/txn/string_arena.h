// Strings kept back to back in blocks that never move, each with its length
// in front and a NUL after it: a string added stays where it is until the
// arena is cleared or goes. Many short paths cost their bytes and no
// allocation each.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

class StringArena {
  public:
    StringArena() = default;
    StringArena(StringArena&&) = default;
    StringArena& operator=(StringArena&&) = default;

    // The copy's first byte; view() gives the whole copy back.
    const char* add(std::string_view text);
    static std::string_view view(const char* copy) {
        uint32_t size;
        std::memcpy(&size, copy - sizeof size, sizeof size);
        return {copy, size};
    }
    void clear();

  private:
    // Blocks grow from FIRST_BLOCK to BLOCK bytes: a database holds thousands
    // of short file lists, a large package one long one.
    static constexpr size_t FIRST_BLOCK = 256;
    static constexpr size_t BLOCK = 32768;
    std::vector<std::unique_ptr<char[]>> blocks_;
    size_t blockSize_ = 0;  // of the last block
    size_t used_ = 0;       // in the last block
};
