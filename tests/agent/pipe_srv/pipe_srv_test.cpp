// The pipe server against a real named pipe, with a recording handler.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <aclapi.h>

#include <functional>
#include <string>
#include <vector>

#include "jobsend/pipe_client.h"
#include "common/lock.h"
#include "agent/pipe_srv/pipe_srv.h"
#include "fakes/recorder.h"
#include "support/pipe_security.h"
#include "support/support.h"
using contracts::kJobPipeClientAccess;
using contracts::kJobPipeName;

using namespace test_support;
using ::testing::UnorderedElementsAreArray;

namespace {

const std::string kReadFailed = "pipe_srv_read_pipe_proc(): failed to ReadFile().";

// Error entries of the log as it is now with this message and this code.
size_t count_errors(const std::string& message, int code) {
    return log_view::read().count_errors(message, code);
}

std::string utf16(const std::wstring& text) {
    return std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
}

bool send_bytes(const std::string& bytes, DWORD timeout_ms = 10000) {
    return job_pipe::send(bytes.data(), static_cast<DWORD>(bytes.size()), timeout_ms) ==
           job_pipe::send_result::sent;
}

bool send_text(const std::wstring& text) { return send_bytes(utf16(text)); }

// True once the server has dropped this client: a write no longer gets through.
bool disconnected(HANDLE client) {
    DWORD written = 0;
    return !WriteFile(client, "x", 2, &written, nullptr);
}

// One server for all message tests.
class PipeServerMessages : public recorder::shared_server_test {
protected:
    void SetUp() override {
        shared_server_test::SetUp();
        clear_log();
    }
};

TEST_F(PipeServerMessages, OneMessagePerConnectionAndClientDroppedAfterTheRead) {
    const std::wstring job = L"Corvix TIF Printer;C:\\spool\\job 17.ini;alice";
    owned::unique_file client;
    ASSERT_EQ(job_pipe::open(10000, client), job_pipe::send_result::sent);
    const std::string first = utf16(job);
    DWORD written = 0;
    ASSERT_TRUE(
        WriteFile(client.get(), first.data(), static_cast<DWORD>(first.size()), &written, nullptr));
    // A second message on the same connection is never read.
    const std::string second = utf16(L"P;second.ini;bob");
    WriteFile(client.get(), second.data(), static_cast<DWORD>(second.size()), &written, nullptr);

    // The next client gets the one instance only after the first was dropped.
    ASSERT_TRUE(send_text(L"next"));
    ASSERT_TRUE(recorder::wait_for(2));
    EXPECT_TRUE(disconnected(client.get()));
    EXPECT_THAT(recorder::messages(), UnorderedElementsAreArray({job, std::wstring(L"next")}));
    EXPECT_EQ(read_log(), "");
}

TEST_F(PipeServerMessages, HandlerGetsTheSendersToken) {
    ASSERT_TRUE(send_text(L"P;I;U"));
    ASSERT_TRUE(recorder::wait_for(1));
    owned::unique_handle own;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, own.put()));
    const std::wstring sender = recorder::user_sid(own.get());
    ASSERT_FALSE(sender.empty());
    EXPECT_EQ(recorder::client_sids(), std::vector<std::wstring>{sender});
}

TEST_F(PipeServerMessages, MessageFramingTable) {
    std::wstring full;
    for (int i = 0; i < 4096; ++i) full += static_cast<wchar_t>(L'A' + i % 26);
    const std::string nul_inside = utf16(L"P;I;U") + std::string(2, '\0') + utf16(L"tail");
    struct row {
        const char* label;
        bool writes;
        std::string bytes;
        std::wstring text;  // what the handler gets, unless rejected
        int rejected_code;  // 0: accepted
    };
    const row rows[] = {
        {"exactly 8192 bytes", true, utf16(full), full, 0},
        {"8193 bytes", true, utf16(full) + "Z", L"", ERROR_MORE_DATA},
        {"NUL in the middle", true, nul_inside, L"P;I;U", 0},
        {"terminating NUL", true, utf16(L"P;I;U") + std::string(2, '\0'), L"P;I;U", 0},
        {"odd last byte ignored", true, utf16(L"ab") + "c", L"ab", 0},
        {"empty message", true, "", L"", 0},
        {"closed without writing", false, "", L"", ERROR_BROKEN_PIPE},
    };
    std::vector<std::wstring> expected;
    for (const row& r : rows) {
        SCOPED_TRACE(r.label);
        if (r.writes) {
            ASSERT_TRUE(send_bytes(r.bytes));
        } else {
            owned::unique_file client;
            ASSERT_EQ(job_pipe::open(10000, client), job_pipe::send_result::sent);
        }
        if (r.rejected_code == 0) expected.push_back(r.text);
    }
    // Served after every rejection.
    ASSERT_TRUE(send_text(L"last"));
    expected.push_back(L"last");
    ASSERT_TRUE(recorder::wait_for(expected.size()));
    EXPECT_THAT(recorder::messages(), UnorderedElementsAreArray(expected));
    EXPECT_EQ(count_errors(kReadFailed, ERROR_MORE_DATA), 1u);
    EXPECT_EQ(count_errors(kReadFailed, ERROR_BROKEN_PIPE), 1u);
    EXPECT_EQ(count_log_messages(read_log(), kReadFailed), 2u);
}

TEST_F(PipeServerMessages, SilentClientIsDroppedAndTheNextServed) {
    owned::unique_file silent;
    ASSERT_EQ(job_pipe::open(10000, silent), job_pipe::send_result::sent);
    // Waits for the instance while the silent client holds it.
    ASSERT_TRUE(send_bytes(utf16(L"after silence"), 20000));
    ASSERT_TRUE(recorder::wait_for(1));
    EXPECT_EQ(recorder::messages(), std::vector<std::wstring>{L"after silence"});
    EXPECT_EQ(count_errors(kReadFailed, ERROR_TIMEOUT), 1u);
    EXPECT_TRUE(disconnected(silent.get()));
}

TEST_F(PipeServerMessages, TwentyMessagesHandedOutInArrivalOrderEightAtOnce) {
    recorder::reset(true);
    std::vector<std::wstring> sent;
    for (int i = 1; i <= 20; ++i) {
        sent.push_back(L"P;job" + std::to_wstring(i) + L".ini;U");
        ASSERT_TRUE(send_text(sent.back()));
    }
    // The pool takes the eight oldest; the rest wait in the queue.
    ASSERT_TRUE(recorder::wait_for(8));
    EXPECT_THAT(recorder::messages(), UnorderedElementsAreArray(sent.begin(), sent.begin() + 8));
    // Each handler let go frees one worker, which must take the oldest queued message.
    for (size_t next = 8; next < sent.size(); ++next) {
        recorder::release(1);
        ASSERT_TRUE(recorder::wait_for(next + 1));
        EXPECT_EQ(recorder::messages()[next], sent[next]);
    }
    recorder::release(8);
    EXPECT_EQ(recorder::max_running(), 8);
    EXPECT_EQ(read_log(), "");
}

class PipeServerLifecycle : public ::testing::Test {
protected:
    void SetUp() override {
        pipe_srv_set_default_handler(recorder::handle);
        recorder::reset();
        clear_log();
    }
};

TEST_F(PipeServerLifecycle, InvalidInputTable) {
    pipe_server* server = pipe_srv_init();
    ASSERT_NE(server, nullptr);
    struct row {
        const char* message;  // empty: nothing is logged
        std::function<void()> call;
    };
    const row rows[] = {
        {"pipe_srv_run(): invalid input parameter.", [] { EXPECT_FALSE(pipe_srv_run(nullptr)); }},
        {"pipe_srv_stop(): invalid input parameter.", [] { pipe_srv_stop(nullptr); }},
        {"pipe_srv_work_proc(): invalid input parameter.", [] { pipe_srv_work_proc(nullptr); }},
        {"pipe_srv_read_pipe_proc(): invalid input parameter.",
         [] { pipe_srv_read_pipe_proc(nullptr); }},
        {"pipe_srv_run(): invalid input parameter.",
         [server] {
             pipe_srv_set_default_handler(nullptr);
             EXPECT_FALSE(pipe_srv_run(server));
             pipe_srv_set_default_handler(recorder::handle);
         }},
        // Stop on a server that never ran, destroy on an empty reference.
        {"", [server] { pipe_srv_stop(server); }},
        {"",
         [] {
             pipe_server* none = nullptr;
             pipe_srv_destroy(&none);
             pipe_srv_destroy(nullptr);
         }},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.message);
        clear_log();
        SetLastError(0);
        r.call();
        if (*r.message) {
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
            EXPECT_EQ(count_errors(r.message, ERROR_INVALID_PARAMETER), 1u);
        } else {
            EXPECT_EQ(read_log(), "");
        }
    }
    // Destroy ends the idle pool of a server that never ran.
    pipe_srv_destroy(&server);
    EXPECT_EQ(server, nullptr);
}

TEST_F(PipeServerLifecycle, RunTwiceThenIdleStopEndsEveryThreadByItself) {
    recorder::running_server running;
    pipe_server* server = running.get();
    ASSERT_NE(server, nullptr);
    ASSERT_FALSE(server->stopped);
    EXPECT_EQ(server->work_threads.size(), 8u);
    const HANDLE reader = server->reader_thread;
    EXPECT_TRUE(pipe_srv_run(server));
    EXPECT_EQ(server->reader_thread, reader);
    ASSERT_TRUE(send_text(L"P;I;U"));
    ASSERT_TRUE(recorder::wait_for(1));

    // Idle workers end at once on the stop, long before the five seconds
    // after which they would be cut off.
    const ULONGLONG start = GetTickCount64();
    pipe_srv_stop(server);
    EXPECT_LT(GetTickCount64() - start, 2000u);
    EXPECT_TRUE(server->stopped);
    EXPECT_EQ(server->reader_thread, nullptr);
    EXPECT_TRUE(server->work_threads.empty());
    owned::unique_file client;
    EXPECT_EQ(job_pipe::open(0, client), job_pipe::send_result::no_pipe);

    pipe_srv_stop(server);
    EXPECT_EQ(read_log(), "");
}

TEST_F(PipeServerLifecycle, JobStillRunningAtStopIsCutOff) {
    recorder::reset(true);  // the handler never returns by itself
    recorder::running_server running;
    ASSERT_TRUE(send_text(L"P;long.ini;U"));
    ASSERT_TRUE(recorder::wait_for(1));
    pipe_srv_stop(running.get());
    EXPECT_TRUE(running.get()->work_threads.empty());
    // The grace time running out is not a failure of the wait.
    EXPECT_EQ(read_log(), "");
}

TEST_F(PipeServerLifecycle, StopTakesNoQueuedMessageAndBusyWorkersEndByThemselves) {
    recorder::reset(true);
    recorder::running_server running;
    pipe_server* server = running.get();
    ASSERT_NE(server, nullptr);
    for (int i = 1; i <= 12; ++i) ASSERT_TRUE(send_text(L"P;job" + std::to_wstring(i) + L".ini;U"));
    ASSERT_TRUE(recorder::wait_for(8));
    // The four behind the busy pool wait in the queue.
    const ULONGLONG deadline = GetTickCount64() + 10000;
    for (;;) {
        size_t queued = 0;
        {
            owned::exclusive_hold queue(server->queue_mutex);
            queued = server->msg_queue.size();
        }
        if (queued == 4) break;
        ASSERT_LT(GetTickCount64(), deadline) << queued << " queued";
        Sleep(10);
    }
    // The busy handlers return only once the stop has begun.
    ULONGLONG stop_ms = 0;
    run_threads(2, [&](int i) {
        if (i == 0) {
            const ULONGLONG start = GetTickCount64();
            pipe_srv_stop(server);
            stop_ms = GetTickCount64() - start;
        } else {
            WaitForSingleObject(server->stop_event, 10000);
            recorder::release(8);
        }
    });
    EXPECT_LT(stop_ms, 4000u);
    EXPECT_EQ(recorder::messages().size(), 8u);
    EXPECT_EQ(read_log(), "");
}

// Counts the threads that ended by themselves after having been marked:
// a thread that is cut off runs no fiber-local clean-up.
DWORD g_end_mark = FLS_OUT_OF_INDEXES;
volatile LONG g_marked_ends = 0;

void WINAPI count_marked_end(void*) { InterlockedIncrement(&g_marked_ends); }

int marking_handler(const wchar_t* message, HANDLE client_token) {
    FlsSetValue(g_end_mark, &g_end_mark);
    return recorder::handle(message, client_token);
}

TEST_F(PipeServerLifecycle, DestroyLetsEveryWorkerEndBeforeAnythingIsCutOff) {
    g_end_mark = FlsAlloc(count_marked_end);
    ASSERT_NE(g_end_mark, FLS_OUT_OF_INDEXES);
    g_marked_ends = 0;
    recorder::reset(true);
    pipe_srv_set_default_handler(marking_handler);
    pipe_server* server = pipe_srv_init();
    ASSERT_NE(server, nullptr);
    ASSERT_TRUE(pipe_srv_run(server));
    ASSERT_TRUE(job_pipe::wait_for_pipe(10000));
    // Eight held handlers: every worker runs one and is marked.
    for (int i = 1; i <= 8; ++i) ASSERT_TRUE(send_text(L"P;job" + std::to_wstring(i) + L".ini;U"));
    ASSERT_TRUE(recorder::wait_for(8));
    recorder::release(8);
    const ULONGLONG deadline = GetTickCount64() + 10000;
    while (recorder::running() > 0 && GetTickCount64() < deadline) Sleep(10);
    ASSERT_EQ(recorder::running(), 0);

    // Straight to destroy, as after a failed start: the idle pool is asked to
    // end, not cut off where it stands.
    const ULONGLONG start = GetTickCount64();
    pipe_srv_destroy(&server);
    EXPECT_LT(GetTickCount64() - start, 2000u);
    EXPECT_EQ(server, nullptr);
    EXPECT_EQ(g_marked_ends, 8);
    FlsFree(g_end_mark);
    EXPECT_EQ(read_log(), "");
}

TEST_F(PipeServerLifecycle, PipeNameHeldElsewhereFailsTheRun) {
    struct row {
        const char* label;
        DWORD max_instances;
    };
    // A squatter that would share the name fails the start as much as one that can't.
    const row rows[] = {{"one instance", 1}, {"unlimited instances", PIPE_UNLIMITED_INSTANCES}};
    for (const row& r : rows) {
        SCOPED_TRACE(r.label);
        clear_log();
        const owned::unique_file squatter(CreateNamedPipeW(
            kJobPipeName, PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE,
            r.max_instances, 4096, 4096, 0, nullptr));
        ASSERT_TRUE(squatter);
        pipe_server* server = pipe_srv_init();
        ASSERT_NE(server, nullptr);
        SetLastError(0);
        EXPECT_FALSE(pipe_srv_run(server));
        const DWORD code = GetLastError();
        EXPECT_NE(code, 0u);
        EXPECT_TRUE(server->stopped);
        EXPECT_EQ(server->reader_thread, nullptr);
        EXPECT_EQ(count_errors("pipe_srv_read_pipe_proc(): failed to CreateNamedPipe().",
                               static_cast<int>(code)),
                  1u);
        EXPECT_EQ(log_view::read().entries().size(), 1u);
        // Nothing of ours listens: a client reaches the squatter or nobody.
        pipe_srv_destroy(&server);
        EXPECT_TRUE(recorder::messages().empty());
    }
}

TEST_F(PipeServerLifecycle, PipeSecurityReadBackFromTheRunningServer) {
    recorder::running_server running;
    ASSERT_NE(running.get(), nullptr);
    ASSERT_NE(running.get()->listen_pipe, nullptr);
    test_support::expect_job_pipe_descriptor(running.get()->listen_pipe);
    // What a producer opens with is what an ordinary user is granted, and
    // nothing of it creates instances.
    const DWORD write_one_message = FILE_WRITE_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
    EXPECT_EQ(kJobPipeClientAccess, write_one_message);
    EXPECT_EQ(write_one_message & FILE_CREATE_PIPE_INSTANCE, 0u);
}

// An impersonation token of this process; with Administrators made deny-only
// it stands for an ordinary local user.
owned::unique_handle impersonation_token(bool as_ordinary_user) {
    owned::unique_handle own, restricted, token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, own.put())) return {};
    HANDLE from = own.get();
    if (as_ordinary_user) {
        DWORD admins[SECURITY_MAX_SID_SIZE / sizeof(DWORD)];
        DWORD size = sizeof admins;
        if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins, &size)) return {};
        SID_AND_ATTRIBUTES deny_only{admins, 0};
        if (!CreateRestrictedToken(own.get(), 0, 1, &deny_only, 0, nullptr, 0, nullptr,
                                   restricted.put())) {
            return {};
        }
        from = restricted.get();
    }
    if (!DuplicateToken(from, SecurityImpersonation, token.put())) return {};
    return token;
}

TEST_F(PipeServerLifecycle, PipeLetsAnOrdinaryUserWriteButNotAddInstances) {
    recorder::running_server running;
    ASSERT_NE(running.get(), nullptr);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(GetSecurityInfo(running.get()->listen_pipe, SE_KERNEL_OBJECT,
                              OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                  DACL_SECURITY_INFORMATION,
                              nullptr, nullptr, nullptr, nullptr, &descriptor),
              static_cast<DWORD>(ERROR_SUCCESS));
    const owned::unique_local release(descriptor);
    GENERIC_MAPPING files{FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                          FILE_ALL_ACCESS};
    struct row {
        const char* label;
        bool ordinary_user;
        DWORD access;
        bool granted;
    };
    const row rows[] = {
        {"user: what a producer opens with", true, kJobPipeClientAccess, true},
        {"user: a new instance", true, FILE_CREATE_PIPE_INSTANCE, false},
        {"user: GENERIC_WRITE, which holds a new instance", true, GENERIC_WRITE, false},
        {"administrator: full control", false, FILE_ALL_ACCESS, true},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.label);
        const owned::unique_handle token = impersonation_token(r.ordinary_user);
        ASSERT_TRUE(token);
        DWORD access = r.access;
        MapGenericMask(&access, &files);
        PRIVILEGE_SET privileges{};
        DWORD privileges_size = sizeof privileges;
        DWORD granted = 0;
        BOOL allowed = FALSE;
        ASSERT_TRUE(AccessCheck(descriptor, token.get(), access, &files, &privileges,
                                &privileges_size, &granted, &allowed))
            << GetLastError();
        EXPECT_EQ(allowed != FALSE, r.granted);
    }
}

TEST_F(PipeServerLifecycle, RunningServerKeepsTheNameToItself) {
    recorder::running_server running;
    ASSERT_NE(running.get(), nullptr);
    ASSERT_FALSE(running.get()->stopped);
    // Neither a second first instance nor an added one can be had.
    for (DWORD open_mode :
         {DWORD{PIPE_ACCESS_DUPLEX}, DWORD{PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE}}) {
        SCOPED_TRACE(open_mode);
        const owned::unique_file other(
            CreateNamedPipeW(kJobPipeName, open_mode, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE,
                             PIPE_UNLIMITED_INSTANCES, 4096, 4096, 0, nullptr));
        EXPECT_FALSE(other);
    }
    ASSERT_TRUE(send_text(L"P;I;U"));
    ASSERT_TRUE(recorder::wait_for(1));
    EXPECT_EQ(recorder::messages(), std::vector<std::wstring>{L"P;I;U"});
}

}  // namespace
