#pragma once

// What one call of a raw inflater reached.
enum class InflateResult {
    More,     // output made or input taken; the stream goes on
    Starved,  // nothing done: the input is used up and no output is held back
    End,      // the stream and its check value are complete
    Error,    // damaged data, a wrong check value, or a stream no inflater here reads
};
