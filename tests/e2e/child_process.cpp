#include "tests/e2e/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstring>

extern char** environ;

namespace sondrel::e2e {

namespace {

struct PipePair {
    int read = -1;
    int write = -1;
};

bool makePipe(PipePair& pair) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return false;
    pair.read = fds[0];
    pair.write = fds[1];
    return true;
}

void closeFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

}  // namespace

std::optional<ChildProcess> ChildProcess::start(const std::vector<std::string>& argv, Pipes pipes, std::string& error) {
    if (argv.empty()) {
        error = "empty command";
        return std::nullopt;
    }
    std::array<PipePair, 3> pairs;
    const std::array<bool, 3> wanted = {pipes.input, pipes.output, pipes.errors};
    auto closePairs = [&] {
        for (PipePair& pair : pairs) {
            closeFd(pair.read);
            closeFd(pair.write);
        }
    };
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        if (wanted[i] && !makePipe(pairs[i])) {
            error = std::string("pipe: ") + std::strerror(errno);
            closePairs();
            return std::nullopt;
        }
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (pipes.input) posix_spawn_file_actions_adddup2(&actions, pairs[0].read, STDIN_FILENO);
    if (pipes.output) posix_spawn_file_actions_adddup2(&actions, pairs[1].write, STDOUT_FILENO);
    if (pipes.errors) posix_spawn_file_actions_adddup2(&actions, pairs[2].write, STDERR_FILENO);

    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);

    pid_t pid = -1;
    const int spawned = ::posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        error = argv[0] + ": " + std::strerror(spawned);
        closePairs();
        return std::nullopt;
    }

    ChildProcess child;
    child.m_pid = pid;
    child.m_name = argv[0];
    closeFd(pairs[0].read);
    closeFd(pairs[1].write);
    closeFd(pairs[2].write);
    child.m_input = pairs[0].write;
    child.m_output = pairs[1].read;
    child.m_errors = pairs[2].read;
    return std::optional<ChildProcess>(std::move(child));
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : m_pid(other.m_pid),
      m_status(other.m_status),
      m_name(std::move(other.m_name)),
      m_input(other.m_input),
      m_output(other.m_output),
      m_errors(other.m_errors),
      m_outputBuffer(std::move(other.m_outputBuffer)),
      m_errorBuffer(std::move(other.m_errorBuffer)) {
    other.m_pid = -1;
    other.m_input = other.m_output = other.m_errors = -1;
}

ChildProcess::~ChildProcess() {
    if (m_pid > 0 && !poll()) {
        ::kill(m_pid, SIGKILL);
        wait();
    }
    closeAll();
}

void ChildProcess::closeAll() {
    closeFd(m_input);
    closeFd(m_output);
    closeFd(m_errors);
}

std::optional<std::string> ChildProcess::readLineFrom(int fd, std::string& buffer, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (const auto end = buffer.find('\n'); end != std::string::npos) {
            std::string line = buffer.substr(0, end);
            buffer.erase(0, end + 1);
            return line;
        }
        if (fd < 0) return std::nullopt;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return std::nullopt;
        pollfd entry{fd, POLLIN, 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return std::nullopt;
        char chunk[4096];
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return std::nullopt;
        buffer.append(chunk, static_cast<std::size_t>(got));
    }
}

std::string ChildProcess::drainErrors() {
    std::string text = std::move(m_errorBuffer);
    m_errorBuffer.clear();
    if (m_errors < 0) return text;
    char chunk[4096];
    for (;;) {
        const ssize_t got = ::read(m_errors, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        text.append(chunk, static_cast<std::size_t>(got));
    }
    closeFd(m_errors);
    return text;
}

bool ChildProcess::writeLine(const std::string& line) {
    if (m_input < 0) return false;
    const std::string text = line + "\n";
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t put = ::write(m_input, text.data() + done, text.size() - done);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        done += static_cast<std::size_t>(put);
    }
    return true;
}

void ChildProcess::closeInput() { closeFd(m_input); }

std::optional<int> ChildProcess::poll() {
    if (m_status || m_pid <= 0) return m_status;
    int status = 0;
    if (::waitpid(m_pid, &status, WNOHANG) == m_pid) m_status = status;
    return m_status;
}

int ChildProcess::wait() {
    while (!m_status && m_pid > 0) {
        int status = 0;
        const pid_t done = ::waitpid(m_pid, &status, 0);
        if (done == m_pid) m_status = status;
        else if (done < 0 && errno != EINTR) m_status = -1;
    }
    return m_status.value_or(-1);
}

void ChildProcess::signal(int number) {
    if (m_pid > 0 && !poll()) ::kill(m_pid, number);
}

std::string ChildProcess::executablePath() const {
    char path[PATH_MAX];
    const std::string link = "/proc/" + std::to_string(m_pid) + "/exe";
    const ssize_t length = ::readlink(link.c_str(), path, sizeof path);
    if (length <= 0) return {};
    return std::string(path, static_cast<std::size_t>(length));
}

std::string describeStatus(int status) {
    if (status == -1) return "not reaped";
    if (WIFEXITED(status)) return "exited with " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return "killed by signal " + std::to_string(WTERMSIG(status));
    return "status " + std::to_string(status);
}

}  // namespace sondrel::e2e
