// End-to-end driver: runs a copy of the built kvx in a fresh temporary
// directory with scripted standard input and captures what it says.
#pragma once

#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <dirent.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace e2e {

struct RunResult {
  int status = -1;   // exit status; 128 + signal number when kvx was killed
  std::string out;   // everything written to standard output
  std::string err;   // everything written to standard error
};

// A temporary directory holding a copy of kvx ("kvx" in it); the program runs
// there, so relative names in arguments refer to files of the sandbox. The
// directory and everything in it go when the sandbox does.
class Sandbox {
 public:
  explicit Sandbox(const char* binary = KVX_BINARY) {
    const char* tmp = getenv("TMPDIR");
    std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/kvx_e2e_XXXXXX";
    std::vector<char> buffer(templ.begin(), templ.end());
    buffer.push_back(0);
    if (!mkdtemp(buffer.data())) throw std::runtime_error("mkdtemp failed");
    dir_ = buffer.data();
    write_file("kvx", read_whole(binary));
    chmod(path("kvx").c_str(), 0755);
  }
  ~Sandbox() {
    nftw(dir_.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return remove(p); }, 16,
         FTW_DEPTH | FTW_PHYS);
  }
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  const std::string& dir() const { return dir_; }
  std::string path(const std::string& relative) const { return dir_ + "/" + relative; }
  // The program the runs start: the sandbox's copy of kvx unless a test
  // names another (an installed one, say).
  std::string program() const { return program_.empty() ? path("kvx") : program_; }
  void use_program(const std::string& file) { program_ = file; }

  // Writes a file (creating its parent directories) with the given bytes.
  void write_file(const std::string& relative, const std::string& content) const {
    make_parents(relative);
    FILE* f = fopen(path(relative).c_str(), "wb");
    if (!f) throw std::runtime_error("cannot create " + relative);
    fwrite(content.data(), 1, content.size(), f);
    fclose(f);
  }
  std::string read_file(const std::string& relative) const { return read_whole(path(relative).c_str()); }
  bool exists(const std::string& relative) const {
    struct stat st;
    return stat(path(relative).c_str(), &st) == 0;
  }
  void make_dir(const std::string& relative) const {
    make_parents(relative + "/x");
  }
  // Names in the sandbox's top directory, the program itself left out.
  std::vector<std::string> list() const {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir_.c_str())) {
      while (dirent* e = readdir(d)) {
        std::string n = e->d_name;
        if (n != "." && n != ".." && n != "kvx") names.push_back(n);
      }
      closedir(d);
    }
    return names;
  }

  // Largest file kvx may write in later runs, in bytes (0: no limit). A write
  // beyond it fails as on a full disk, once kvx ignores the signal it raises.
  long long file_size_limit = 0;

  // A signal sent to kvx (once) as soon as signal_when answers true; it is
  // asked every few milliseconds while kvx runs.
  int signal_number = 0;
  std::function<bool()> signal_when;

  // Another user to run kvx as (0: as the tests run).
  uid_t run_as = 0;

  // An environment variable for every later run (for example TZ).
  void set_env(const std::string& name, const std::string& value) { env_.emplace_back(name, value); }

  // Runs the sandbox's kvx with args in the sandbox directory, feeding input
  // on standard input (then end of input). Stops it after timeoutSeconds.
  RunResult run(const std::vector<std::string>& args, const std::string& input = "",
                int timeoutSeconds = 60) const {
    return run_in("", args, input, timeoutSeconds);
  }
  // The same with a subdirectory of the sandbox as the working directory.
  RunResult run_in(const std::string& subdir, const std::vector<std::string>& args, const std::string& input = "",
                   int timeoutSeconds = 60) const {
    const std::string cwd = subdir.empty() ? dir_ : path(subdir);
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC)) throw std::runtime_error("pipe");
    std::vector<std::string> argvText;
    std::vector<char*> argv = exec_args(args, argvText);

    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork");
    if (pid == 0) {
      if (chdir(cwd.c_str()) != 0) _exit(126);
      set_child_env();
      if (run_as != 0 && (setgid(run_as) != 0 || setuid(run_as) != 0)) _exit(124);
      if (file_size_limit > 0) {
        struct rlimit limit;
        limit.rlim_cur = limit.rlim_max = static_cast<rlim_t>(file_size_limit);
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(125);
      }
      dup2(in[0], 0);
      dup2(out[1], 1);
      dup2(err[1], 2);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    signal(SIGPIPE, SIG_IGN);   // kvx may leave without reading all its input

    RunResult result;
    size_t written = 0;
    int inFd = in[1];
    if (input.empty()) {
      close(inFd);
      inFd = -1;
    } else {
      fcntl(inFd, F_SETFL, O_NONBLOCK);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    bool outOpen = true, errOpen = true;
    bool signalled = false;
    while (outOpen || errOpen) {
      if (signal_number != 0 && !signalled && signal_when && signal_when()) {
        kill(pid, signal_number);
        signalled = true;
      }
      pollfd fds[3];
      int n = 0;
      if (outOpen) fds[n++] = {out[0], POLLIN, 0};
      if (errOpen) fds[n++] = {err[0], POLLIN, 0};
      if (inFd >= 0) fds[n++] = {inFd, POLLOUT, 0};
      if (std::chrono::steady_clock::now() > deadline) {
        kill(pid, SIGKILL);
        break;
      }
      if (poll(fds, n, signal_number != 0 && !signalled ? 5 : 200) < 0 && errno != EINTR) break;
      for (int i = 0; i < n; ++i) {
        if (fds[i].revents == 0) continue;
        if (fds[i].fd == inFd) {
          ssize_t w = write(inFd, input.data() + written, input.size() - written);
          if (w > 0) written += static_cast<size_t>(w);
          if (w < 0 || written == input.size()) {
            close(inFd);
            inFd = -1;
          }
          continue;
        }
        char chunk[4096];
        ssize_t r = read(fds[i].fd, chunk, sizeof chunk);
        bool isOut = fds[i].fd == out[0];
        if (r > 0) {
          (isOut ? result.out : result.err).append(chunk, static_cast<size_t>(r));
        } else if (r == 0 || errno != EINTR) {
          (isOut ? outOpen : errOpen) = false;
        }
      }
    }
    if (inFd >= 0) close(inFd);
    close(out[0]);
    close(err[0]);
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    return result;
  }

  // Runs the sandbox's kvx in the sandbox directory with a terminal (a
  // pseudo-terminal without echo and without output processing, so "\n"
  // stays "\n") as its standard input, output and error, as a person at a
  // console would. After each piece of output, and every few milliseconds
  // while there is none, watch is called with kvx's process id and the
  // screen's bytes so far; what it answers is typed on the terminal. out
  // holds the screen's bytes; err stays empty.
  using TerminalWatch = std::function<std::string(pid_t, const std::string&)>;
  RunResult run_on_terminal(const std::vector<std::string>& args, const TerminalWatch& watch,
                            int timeoutSeconds = 60) const {
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) throw std::runtime_error("no terminal");
    const std::string slaveName = ptsname(master);
    std::vector<std::string> argvText;
    std::vector<char*> argv = exec_args(args, argvText);

    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork");
    if (pid == 0) {
      setsid();
      int slave = open(slaveName.c_str(), O_RDWR);  // becomes the controlling terminal
      if (slave < 0 || chdir(dir_.c_str()) != 0) _exit(126);
      termios mode;
      tcgetattr(slave, &mode);
      mode.c_oflag &= ~tcflag_t(OPOST);
      mode.c_lflag &= ~tcflag_t(ECHO);
      tcsetattr(slave, TCSANOW, &mode);
      dup2(slave, 0);
      dup2(slave, 1);
      dup2(slave, 2);
      if (slave > 2) close(slave);
      set_child_env();
      execv(argv[0], argv.data());
      _exit(127);
    }
    RunResult result;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    for (;;) {
      if (std::chrono::steady_clock::now() > deadline) {
        kill(pid, SIGCONT);
        kill(pid, SIGKILL);
        break;
      }
      pollfd fd{master, POLLIN, 0};
      if (poll(&fd, 1, 2) < 0 && errno != EINTR) break;
      if (fd.revents != 0) {
        char chunk[4096];
        ssize_t r = read(master, chunk, sizeof chunk);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;  // every end of the terminal's other side is closed
        result.out.append(chunk, static_cast<size_t>(r));
      }
      const std::string typed = watch(pid, result.out);
      if (!typed.empty() && write(master, typed.data(), typed.size()) < 0) break;
    }
    close(master);
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    return result;
  }

  // The bytes of any file.
  static std::string read_whole(const char* name) {
    FILE* f = fopen(name, "rb");
    if (!f) throw std::runtime_error(std::string("cannot read ") + name);
    std::string data;
    char chunk[65536];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) data.append(chunk, n);
    fclose(f);
    return data;
  }
 private:
  // The program and args as execv takes them, pointing into text.
  std::vector<char*> exec_args(const std::vector<std::string>& args, std::vector<std::string>& text) const {
    text.assign(1, program());
    text.insert(text.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : text) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    return argv;
  }

  // In a child about to run kvx: the user's own options file is looked for
  // inside the sandbox unless a test says otherwise, then the test's variables.
  void set_child_env() const {
    setenv("XDG_CONFIG_HOME", path(".config").c_str(), 1);
    for (const auto& e : env_) setenv(e.first.c_str(), e.second.c_str(), 1);
  }

  void make_parents(const std::string& relative) const {
    for (size_t slash = relative.find('/'); slash != std::string::npos; slash = relative.find('/', slash + 1)) {
      mkdir(path(relative.substr(0, slash)).c_str(), 0755);
    }
  }

  std::string dir_;
  std::string program_;
  std::vector<std::pair<std::string, std::string>> env_;
};

}  // namespace e2e
