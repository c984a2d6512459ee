/* A socket passed to a forked child: opens a UDP socket connected to
 * ENDPOINT, forks, and the child runs PROGRAM with the socket as descriptor 3
 * ("--fd 3" appended); the parent keeps its copy open until the child ends,
 * then closes it. The child's program sends every byte, so it is the owner.
 *   attr_fd_parent --to ENDPOINT -- PROGRAM ARGUMENTS... */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include "bench/attribution/attr_net.h"

int main(int argc, char** argv) {
    struct sockaddr_storage to;
    socklen_t toLength = 0;
    if (argc < 5 || strcmp(argv[1], "--to") != 0 || parseEndpoint(argv[2], &to, &toLength) != 0 ||
        strcmp(argv[3], "--") != 0) {
        fprintf(stderr, "usage: %s --to ENDPOINT -- PROGRAM ARGUMENTS...\n", argv[0]);
        return 2;
    }
    const int fd = socket(to.ss_family, SOCK_DGRAM, 0);
    if (fd < 0) return fail("socket");
    if (connect(fd, (struct sockaddr*)&to, toLength) != 0) return fail("connect");
    if (fd != 3 && (dup2(fd, 3) < 0 || close(fd) != 0)) return fail("dup2");
    char** child = calloc((size_t)argc, sizeof *child);
    if (child == NULL) return fail("calloc");
    int count = 0;
    for (int i = 4; i < argc; ++i) child[count++] = argv[i];
    child[count++] = "--fd";
    child[count++] = "3";
    const pid_t pid = fork();
    if (pid < 0) return fail("fork");
    if (pid == 0) {
        execv(child[0], child);
        _exit(fail(child[0]));
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return fail("waitpid");
    close(3);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
