// The one named pipe on which job messages arrive; shared with the producers.
#pragma once

inline constexpr wchar_t kJobPipeName[] = L"\\\\.\\pipe\\BF036B79738B44a7A7DBAA179773AC5A";
