// The board that the load tool and its stand-in programs share: a file,
// mapped by both, where each converter run records itself by the job's
// sequence number, which the job ini file's name carries ("job<n>.ini"). The
// converter finds the file under [converter] "Board" in the ini file beside it
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

// header, then LONG starts_of[capacity] (starts per number), then
// LONG order[capacity] (numbers in the order their converters started).
inline SIZE_T bytes_for(LONG capacity) {
    return sizeof(header) + 2 * sizeof(LONG) * static_cast<SIZE_T>(capacity);
}
inline LONG* starts_of(header* board) { return reinterpret_cast<LONG*>(board + 1); }
inline LONG* order(header* board) { return starts_of(board) + board->capacity; }

}  // namespace load_board
