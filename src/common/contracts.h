// What the deliverables and their peers agree on: the job pipe and its
// message, and winrelay's command line and exit codes. Changing any of these
// breaks producers, installed scripts or a running agent of another version.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

namespace contracts {

// The one named pipe on which job messages arrive; shared with the producers.
inline constexpr wchar_t kJobPipeName[] = L"\\\\.\\pipe\\BF036B79738B44a7A7DBAA179773AC5A";

// All that a producer needs to write its message, and all that the pipe grants
// an ordinary local user. GENERIC_WRITE would also ask for FILE_APPEND_DATA,
// which on a pipe is FILE_CREATE_PIPE_INSTANCE, and be denied.
inline constexpr DWORD kJobPipeClientAccess = FILE_WRITE_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE;

// A message is "printer;job ini path;user" in UTF-16; runs of separators count
// as one. Each field keeps at most kFieldUnits - 1 characters.
inline constexpr wchar_t kMessageSeparator = L';';
inline constexpr size_t kFieldUnits = 1024;

// winrelay -id ID -wt "TITLE" -ini "PATH"; each text keeps at most
// kRelayTextUnits - 1 characters.
inline constexpr wchar_t kRelayCommandFormat[] = L"%ls -id %d -wt \"%ls\" -ini \"%ls\"";
inline constexpr size_t kRelayTextUnits = 1024;

// winrelay's exit codes; any other code (3 or more) is the reason it failed.
inline constexpr uint32_t kRelayDelivered = 0;
inline constexpr uint32_t kRelayHelpShown = 1;
inline constexpr uint32_t kRelayNoWindow = 2;
inline constexpr uint32_t kRelayFailed = 3;  // a failure whose own reason is below 3

// The exit code that reports a failure: a reason below kRelayFailed would read
// as one of the outcomes above, so it becomes kRelayFailed.
inline constexpr uint32_t relay_failure_code(uint32_t reason) {
    return reason < kRelayFailed ? kRelayFailed : reason;
}

}  // namespace contracts
