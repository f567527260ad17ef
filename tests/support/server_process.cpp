#include "tests/support/server_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <thread>

#include "tests/support/temp_dir.h"

namespace quillon::testing {

namespace {

bool IsExecutable(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

bool PortAccepts(uint16_t port, bool ipv6) {
  int fd = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  bool ok;
  if (ipv6) {
    sockaddr_in6 sin6{};
    sin6.sin6_family = AF_INET6;
    sin6.sin6_port = htons(port);
    sin6.sin6_addr = in6addr_loopback;
    ok = ::connect(fd, reinterpret_cast<sockaddr*>(&sin6), sizeof sin6) == 0;
  } else {
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(port);
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ok = ::connect(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) == 0;
  }
  ::close(fd);
  return ok;
}

}  // namespace

std::string ServerConfig(const std::string& name, const std::vector<std::pair<std::string, std::string>>& values) {
  std::string text = ReadFile(std::string(QUILLON_SERVER_TEMPLATES) + "/" + name + ".in");
  for (const auto& [key, value] : values) {
    const std::string marker = "@" + key + "@";
    for (size_t at = text.find(marker); at != std::string::npos; at = text.find(marker, at + value.size()))
      text.replace(at, marker.size(), value);
  }
  return text;
}

std::string FindProgram(const std::string& name) {
  if (name.find('/') != std::string::npos) return IsExecutable(name) ? name : "";
  std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
  path += ":/usr/sbin:/sbin:/usr/local/sbin";
  std::stringstream dirs(path);
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    if (dir.empty()) continue;
    std::string candidate = dir + "/" + name;
    if (IsExecutable(candidate)) return candidate;
  }
  return "";
}

ServerProcess::~ServerProcess() { Stop(); }

bool ServerProcess::Start(const std::vector<std::string>& argv, const std::string& log_path) {
  Stop();
  failure_.clear();
  name_ = argv.empty() ? "" : argv[0];
  log_path_ = log_path;
  if (argv.empty() || argv[0].empty() || !IsExecutable(argv[0])) {
    failure_ = "cannot start the server: program '" + name_ + "' is not installed (run scripts/setup)";
    return false;
  }
  // Everything the child needs is prepared before fork: after it, only
  // async-signal-safe calls.
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  int out = log_path.empty() ? ::open("/dev/null", O_WRONLY | O_CLOEXEC)
                             : ::open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  pid_t pid = ::fork();
  if (pid < 0) {
    failure_ = "cannot start the server '" + name_ + "': fork failed";
    ::close(out);
    ::close(in);
    return false;
  }
  if (pid == 0) {
    ::setpgid(0, 0);
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(out, 2);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  ::setpgid(pid, pid);
  ::close(out);
  ::close(in);
  pid_ = pid;
  return true;
}

bool ServerProcess::Running() {
  if (pid_ <= 0) return false;
  int status;
  pid_t r = ::waitpid(pid_, &status, WNOHANG);
  if (r == pid_) {
    std::ostringstream why;
    if (WIFEXITED(status))
      why << "exited with status " << WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
      why << "was killed by signal " << WTERMSIG(status);
    failure_ = "cannot start the server '" + name_ + "': it " + why.str();
    ::kill(-pid_, SIGKILL);  // children it may have left
    pid_ = -1;
    return false;
  }
  return true;
}

bool ServerProcess::WaitForPort(uint16_t port, int timeout_ms, bool ipv6) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (std::chrono::steady_clock::now() < end) {
    if (!Running()) {
      if (failure_.empty()) failure_ = "cannot start the server '" + name_ + "'";
      return false;
    }
    if (PortAccepts(port, ipv6)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  failure_ = "cannot start the server '" + name_ + "': port " + std::to_string(port) +
             " did not accept connections in time";
  return false;
}

void ServerProcess::Stop() {
  if (pid_ <= 0) return;
  ::kill(-pid_, SIGTERM);
  for (int i = 0; i < 200; ++i) {
    if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
      ::kill(-pid_, SIGKILL);  // children that ignored the signal
      pid_ = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(-pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

std::string ServerProcess::Failure() const {
  std::string text = failure_;
  if (!log_path_.empty() && FileExists(log_path_)) {
    std::string log = ReadFile(log_path_);
    if (log.size() > 4000) log = "..." + log.substr(log.size() - 4000);
    if (!log.empty()) text += "\nserver log:\n" + log;
  }
  return text;
}

}  // namespace quillon::testing
