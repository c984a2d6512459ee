#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace sondrel::e2e {

// A program started by the end-to-end tools, with pipes to its standard
// streams where asked for. The destructor kills and reaps a child that is
// still running, so a failing check never leaves senders behind.
class ChildProcess {
public:
    struct Pipes {
        bool input = false;   // we write its stdin
        bool output = false;  // we read its stdout
        bool errors = false;  // we read its stderr
    };

    // Starts argv[0] (looked up in PATH when it has no slash). Empty when the
    // pipes or the spawn fail; `error` then says why.
    static std::optional<ChildProcess> start(const std::vector<std::string>& argv, Pipes pipes, std::string& error);

    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&&) = delete;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess();

    pid_t pid() const { return m_pid; }
    const std::string& name() const { return m_name; }

    // One line from stdout (or stderr), without its line feed; empty when the
    // stream ends or nothing arrives within `timeout`.
    std::optional<std::string> readLine(std::chrono::milliseconds timeout) { return readLineFrom(m_output, m_outputBuffer, timeout); }
    std::optional<std::string> readErrorLine(std::chrono::milliseconds timeout) { return readLineFrom(m_errors, m_errorBuffer, timeout); }
    // Everything left on stderr until it closes (call after the child ended).
    std::string drainErrors();

    bool writeLine(const std::string& line);
    void closeInput();

    // The exit status (as waitpid gives it) once the child has ended; never blocks.
    std::optional<int> poll();
    // Blocks until the child ends.
    int wait();
    void signal(int number);

    // Full path of the running program, as /proc/<pid>/exe names it.
    std::string executablePath() const;

private:
    ChildProcess() = default;
    static std::optional<std::string> readLineFrom(int fd, std::string& buffer, std::chrono::milliseconds timeout);
    void closeAll();

    pid_t m_pid = -1;
    std::optional<int> m_status;
    std::string m_name;
    int m_input = -1;
    int m_output = -1;
    int m_errors = -1;
    std::string m_outputBuffer;
    std::string m_errorBuffer;
};

// "exited with 3", "killed by signal 9".
std::string describeStatus(int status);

}  // namespace sondrel::e2e
