// The one named pipe on which job messages arrive; shared with the producers.
#pragma once

#include <windows.h>

inline constexpr wchar_t kJobPipeName[] = L"\\\\.\\pipe\\BF036B79738B44a7A7DBAA179773AC5A";

// All that a producer needs to write its message, and all that the pipe grants
// an ordinary local user. GENERIC_WRITE would also ask for FILE_APPEND_DATA,
// which on a pipe is FILE_CREATE_PIPE_INSTANCE, and be denied.
inline constexpr DWORD kJobPipeClientAccess = FILE_WRITE_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
