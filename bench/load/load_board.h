// The board that the benchmarks and their stand-in programs share: a file,
// mapped by all of them, where each stand-in run records itself by the job's
// sequence number, which the job ini file's name carries ("job<n>.ini"). A
// stand-in finds the file under [converter] "Board" in the ini file beside it
// (a service's programs do not see the tool's named objects under Wine).
#pragma once

#include <windows.h>

namespace load_board {

struct header {
    LONG capacity;    // sequence numbers 0 .. capacity-1
    LONG convert_ms;  // how long a converter run lasts
    LONG running;     // converters running now
    LONG peak;        // most converters running at once
    LONG started;     // converter starts recorded, the index into order
    LONG ended;
};

// When a job's programs got going, in performance-counter ticks (one clock
// for every process of the machine); 0 until it happened.
enum class stamp { progress, converter, delivered, count };

// header, then LONG starts_of[capacity] (starts per number), then
// LONG order[capacity] (numbers in the order their converters started), then
// LONGLONG stamps[count][capacity].
inline SIZE_T bytes_for(LONG capacity) {
    return sizeof(header) +
           (2 * sizeof(LONG) + static_cast<SIZE_T>(stamp::count) * sizeof(LONGLONG)) *
               static_cast<SIZE_T>(capacity);
}
inline LONG* starts_of(header* board) { return reinterpret_cast<LONG*>(board + 1); }
inline LONG* order(header* board) { return starts_of(board) + board->capacity; }
// The header and the two LONG arrays take a multiple of 8 bytes, so the
// stamps are aligned.
inline LONGLONG* stamps(header* board, stamp which) {
    return reinterpret_cast<LONGLONG*>(order(board) + board->capacity) +
           static_cast<SIZE_T>(which) * static_cast<SIZE_T>(board->capacity);
}

inline LONGLONG now() {
    LARGE_INTEGER ticks;
    QueryPerformanceCounter(&ticks);
    return ticks.QuadPart;
}

}  // namespace load_board
