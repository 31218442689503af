// The job ini file and the spool file belong to the client that sent the job:
// the service reads and deletes them only with that client's rights, so a
// client cannot make LocalSystem read or delete what it could not itself.
#pragma once

#include <windows.h>

// A plain local absolute path "X:\..." that names no device, with no '"' and
// no control character: no UNC path, no "\\?\" or "\\.\" namespace, nothing
// relative. Anything else could reach another machine, a pipe or a device, or
// add arguments to a program's command line.
bool is_plain_local_path(const wchar_t* path);

// For its lifetime, names on the calling thread the client whose job it runs.
// LocalSystem clients need no impersonation. Without a scope (no job) files
// are touched as the service itself.
class job_client_scope {
public:
    job_client_scope(HANDLE client_token, bool client_is_system);
    ~job_client_scope();
    job_client_scope(const job_client_scope&) = delete;
    job_client_scope& operator=(const job_client_scope&) = delete;

private:
    friend class as_job_client;
    const job_client_scope* const outer_;
    const HANDLE token_;
    const bool is_system_;
};

// Runs the calling thread as the job's client for its lifetime. ok() is false
// (logged in the caller's name) when impersonation failed: touch nothing then.
// A thread that cannot return to the service's own identity ends rather than
// go on as the client.
class as_job_client {
public:
    explicit as_job_client(const wchar_t* caller);
    ~as_job_client();
    as_job_client(const as_job_client&) = delete;
    as_job_client& operator=(const as_job_client&) = delete;

    bool ok() const { return ok_; }

private:
    const wchar_t* const caller_;
    bool impersonating_ = false;
    bool ok_ = true;
};

// Reads [Spool] key of the job ini file as the job's client, with the default
// "". False (buffer "") when the path is not a plain local one or the client
// could not be impersonated.
bool read_job_ini(const wchar_t* job_ini_path, const wchar_t* key, wchar_t* buffer, DWORD units);

// What a "...: Skip" value (compared for equality, not used as a bit mask)
// makes of the job: 1 skips EMF jobs, 2 RAW jobs, 3 every job. The spool type
// is the job ini file's [Spool] Type, compared case-sensitively.
enum class spool_skip { none, emf, raw, always };
spool_skip job_skip(DWORD skip, const wchar_t* job_ini_path);
