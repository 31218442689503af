// The reader's listening instance, created ahead of the reader thread.
#pragma once

#include "agent/pipe_srv/pipe_srv.h"

// Creates the server's completion event and the pipe's first instance, which
// only LocalSystem and Administrators may add to. False when either can't be
// had (for example another process holds the name); the failure is logged.
bool pipe_srv_create_pipe(pipe_server* server);
