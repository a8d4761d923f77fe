#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

namespace {

double Now() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

}  // namespace

ProgramRun RunProgram(const std::vector<std::string>& arguments, int timeoutSeconds) {
  ProgramRun run;
  if (arguments.empty()) return run;
  int pipeEnds[2];
  if (pipe2(pipeEnds, O_CLOEXEC) != 0) return run;
  std::vector<char*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  const pid_t child = fork();
  if (child < 0) {
    close(pipeEnds[0]);
    close(pipeEnds[1]);
    return run;
  }
  if (child == 0) {
    const int nothing = open("/dev/null", O_RDONLY);
    if (nothing >= 0) dup2(nothing, 0);
    dup2(pipeEnds[1], 1);
    dup2(pipeEnds[1], 2);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  close(pipeEnds[1]);
  const double deadline = Now() + timeoutSeconds;
  bool timedOut = false;
  for (;;) {
    const double left = deadline - Now();
    if (left <= 0) {
      timedOut = true;
      kill(child, SIGKILL);
      break;
    }
    pollfd ready{pipeEnds[0], POLLIN, 0};
    const int polled = poll(&ready, 1, static_cast<int>(left * 1000) + 1);
    if (polled < 0 && errno == EINTR) continue;
    if (polled <= 0) continue;
    char buffer[4096];
    const ssize_t count = read(pipeEnds[0], buffer, sizeof(buffer));
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) break;
    run.output.append(buffer, static_cast<size_t>(count));
  }
  close(pipeEnds[0]);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  run.started = !(WIFEXITED(status) && WEXITSTATUS(status) == 127);
  run.status = !timedOut && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}
