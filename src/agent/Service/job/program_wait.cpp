#include "agent/Service/job/program_wait.h"

#include "agent/Service/state/service_state.h"

program_wait wait_for_program(HANDLE process) {
    const HANDLE handles[] = {terminate_event(), process};
    switch (WaitForMultipleObjects(2, handles, FALSE, INFINITE)) {
        case WAIT_OBJECT_0:
            return program_wait::terminating;
        case WAIT_OBJECT_0 + 1:
            return program_wait::ended;
        default:
            return program_wait::failed;
    }
}
