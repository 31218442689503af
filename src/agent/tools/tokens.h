// The one ";" tokenizer, for job messages and for the printer list: runs of
// separators count as one and leading ones are skipped.
#pragma once

#include <cstddef>

#include "common/contracts.h"

// The next token at or after `at`: its start and length, with `at` moved past
// it. False when no token is left. The position lives with the caller, so
// several threads split at once, and the text itself is never written.
inline bool next_token(const wchar_t*& at, const wchar_t*& start, size_t& length) {
    while (*at == contracts::kMessageSeparator) ++at;
    start = at;
    while (*at != L'\0' && *at != contracts::kMessageSeparator) ++at;
    length = static_cast<size_t>(at - start);
    return length != 0;
}
