// A pipe server handler for tests: records every message it is handed and how
// many handlers ran at once, and can hold handlers until the test lets them go.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "agent/pipe_srv/pipe_srv.h"
#include "support/support.h"

namespace recorder {

// The handler to register with pipe_srv_set_default_handler.
int handle(const wchar_t* message, HANDLE client_token);

// Forgets what was recorded; gated handlers wait for release() before returning.
void reset(bool gated = false);
// Lets `count` gated handlers return.
void release(LONG count);
// Waits until `count` messages have arrived since reset(); false after timeout_ms.
bool wait_for(size_t count, DWORD timeout_ms = 20000);
// Messages in the order the handlers were entered.
std::vector<std::wstring> messages();
// For each message, the user SID (S-1-...) of the client token the handler
// was given; empty where the token was missing or could not be queried.
std::vector<std::wstring> client_sids();
// The user SID of a token, or empty.
std::wstring user_sid(HANDLE token);
int max_running();
// Handlers entered and not yet returned.
int running();

// A server, initialised and running with the recorder as its handler, whose
// pipe exists once the constructor returns.
class running_server {
public:
    running_server();
    ~running_server();
    running_server(const running_server&) = delete;
    running_server& operator=(const running_server&) = delete;

    pipe_server* get() const { return server_; }

private:
    pipe_server* server_;
};

// A suite that shares one running server: its idle stop alone takes up to two
// seconds. Each test starts with an empty record.
class shared_server_test : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        test_support::ensure_log_dir();
        server_ = new running_server;
    }
    static void TearDownTestSuite() {
        delete server_;
        server_ = nullptr;
    }
    void SetUp() override {
        ASSERT_NE(server_->get(), nullptr);
        reset();
    }

    static inline running_server* server_ = nullptr;
};

}  // namespace recorder
