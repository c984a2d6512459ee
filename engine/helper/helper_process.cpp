#include "engine/helper/helper_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "wire/events.h"

namespace sondrel {

namespace {

// Moves a descriptor to 3 or above, so the child's dup2 onto 0 and 1 can
// never overwrite the other pipe's end.
int aboveStandard(int fd) {
    if (fd > 2) return fd;
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    close(fd);
    return moved;
}

}  // namespace

std::string findCompanionProgram(const char* name) {
    char self[4096];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) return {};
    std::string folder(self, std::size_t(length));
    folder.erase(folder.rfind('/') + 1);
    for (const std::string& candidate : {folder + name, folder + "../libexec/sondrel/" + name}) {
        struct stat info;
        if (stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode)) return candidate;
    }
    return {};
}

std::optional<HelperProcess> spawnHelper(const std::string& path) {
    // Writing to a helper that has died must fail, not end the window.
    signal(SIGPIPE, SIG_IGN);
    int commandPipe[2];
    int eventPipe[2];
    if (pipe2(commandPipe, O_CLOEXEC) != 0) return std::nullopt;
    if (pipe2(eventPipe, O_CLOEXEC) != 0) {
        close(commandPipe[0]);
        close(commandPipe[1]);
        return std::nullopt;
    }
    for (int* fd : {&commandPipe[0], &commandPipe[1], &eventPipe[0], &eventPipe[1]}) *fd = aboveStandard(*fd);
    // Between fork and exec the child runs only what is safe in a copy of a
    // threaded process: it allocates nothing. Its arguments are made before
    // fork; the frame that reports a failed exec is built on its stack.
    char* const argv[] = {const_cast<char*>(path.c_str()), nullptr};
    char* const envp[] = {nullptr};
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(commandPipe[0], 0);
        dup2(eventPipe[1], 1);
        execve(path.c_str(), argv, envp);
        const wire::ExecFailedFrame execFailed = wire::execFailedFrame(errno);
        [[maybe_unused]] const ssize_t ignored = write(1, execFailed.data(), execFailed.size());
        _exit(127);
    }
    close(commandPipe[0]);
    close(eventPipe[1]);
    if (pid < 0) {
        close(commandPipe[1]);
        close(eventPipe[0]);
        return std::nullopt;
    }
    return HelperProcess{pid, FileDescriptor(commandPipe[1]), FileDescriptor(eventPipe[0])};
}

void killHelper(pid_t pid) { kill(pid, SIGKILL); }

int reapHelper(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return 0;
    }
    return status;
}

std::string helperEndText(int waitStatus) {
    if (WIFSIGNALED(waitStatus)) {
        const int number = WTERMSIG(waitStatus);
        const char* name = sigabbrev_np(number);
        return "it was killed by signal " + std::to_string(number) + (name ? std::string(" (SIG") + name + ")" : "");
    }
    if (WIFEXITED(waitStatus)) return "it exited with status " + std::to_string(WEXITSTATUS(waitStatus));
    return "it ended";
}

}  // namespace sondrel
