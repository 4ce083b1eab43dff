// Runs a piece of work in a child process that then dies by SIGKILL: no destructor runs and nothing is
// shut down in order, as when the machine loses power or the process is killed. Host only.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kestrel::drives {

// `work` returns false when something it checked went wrong; the child then exits normally instead of
// being killed. True when the child ran `work` to the end and was killed.
template <class Work>
bool RunInKilledChild(Work work) {
    const pid_t child = fork();
    if (child < 0)
        return false;
    if (child == 0) {
        if (!work())
            _exit(1);
        raise(SIGKILL);
        _exit(0);
    }
    int status = 0;
    if (waitpid(child, &status, 0) != child)
        return false;
    return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
}

}  // namespace kestrel::drives
