// wake_after_exit - how long after a sender process has exited does the listener print its message?
//
//   wake_after_exit [--warmup N] [--rounds N] [--gap-us N] [--body-bytes N] --workdir DIR
//                   --listener CMD... --deliver CMD...
//
// Starts the listener (its stdout on a pipe, its stderr in DIR/listener.stderr) and waits until
// that stderr holds "READY:". Then, per round: writes a body carrying a unique token to a file,
// spawns the deliverer with that file on stdin, opens a pidfd on it at once, and polls the pidfd
// and the listener's stdout together, stamping each event with CLOCK_MONOTONIC as poll returns:
//   t_exit   = the pidfd turned readable (the sender has exited),
//   t_output = the read that completed the token on the listener's stdout.
// The figure is max(0, t_output - t_exit). Output seen before the exit (the sender was still
// tearing down) counts as 0 and is reported as out_before_exit=; both seen in the same poll
// wake-up counts as 0 and is reported as same_wakeup=.
// Also reports spawn->exit and spawn->output medians. Prints one line of key=value pairs.
// Percentiles: nearest rank. Exit status: 0 when every round completed and every sender exited 0.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#ifndef SYS_pidfd_open
#define SYS_pidfd_open 434
#endif

extern char** environ;

// std::chrono::steady_clock reads CLOCK_MONOTONIC on Linux (libstdc++ and libc++ alike),
// the clock abench uses.
static int64_t now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

static volatile pid_t g_listener = 0;

static void stop_listener() {
  if (g_listener > 0) {
    kill(g_listener, SIGTERM);
    waitpid(g_listener, nullptr, 0);
    g_listener = 0;
  }
}

[[noreturn]] static void die(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  fputs("wake_after_exit: ", stderr);
  vfprintf(stderr, fmt, ap);
  fputc('\n', stderr);
  va_end(ap);
  stop_listener();
  exit(1);
}

static void on_signal(int sig) {
  if (g_listener > 0) {
    kill(g_listener, SIGTERM);
    waitpid(g_listener, nullptr, 0);
  }
  _exit(128 + sig);
}

static int xopen(const char* p, int fl, int mode = 0644) {
  int fd = open(p, fl | O_CLOEXEC, mode);
  if (fd < 0)
    die("open %s: %s", p, strerror(errno));
  return fd;
}

static void write_file(const std::string& path, const std::string& data) {
  int fd = xopen(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC);
  const char* p = data.data();
  size_t n = data.size();
  while (n) {
    ssize_t w = write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR)
        continue;
      die("write %s: %s", path.c_str(), strerror(errno));
    }
    p += w, n -= size_t(w);
  }
  close(fd);
}

static pid_t spawn(const std::vector<std::string>& args, int in, int out, int err) {
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  if (in != 0)
    posix_spawn_file_actions_adddup2(&fa, in, 0);
  if (out != 1)
    posix_spawn_file_actions_adddup2(&fa, out, 1);
  if (err != 2)
    posix_spawn_file_actions_adddup2(&fa, err, 2);
  std::vector<char*> av;
  for (auto& a : args)
    av.push_back(const_cast<char*>(a.c_str()));
  av.push_back(nullptr);
  pid_t pid;
  int rc = posix_spawnp(&pid, av[0], &fa, nullptr, av.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0)
    die("spawn %s: %s", av[0], strerror(rc));
  return pid;
}

static bool reap_ok(pid_t pid) {
  int st;
  while (waitpid(pid, &st, 0) < 0)
    if (errno != EINTR)
      die("waitpid: %s", strerror(errno));
  return WIFEXITED(st) && WEXITSTATUS(st) == 0;
}

static double pct(const std::vector<int64_t>& v, double q) { // nearest rank, microseconds
  if (v.empty())
    return 0;
  size_t k = size_t(std::ceil(q * double(v.size())));
  if (k < 1)
    k = 1;
  return double(v[k - 1]) / 1000.0;
}

int main(int argc, char** argv) {
  signal(SIGTERM, on_signal);
  signal(SIGINT, on_signal);
  signal(SIGPIPE, SIG_IGN);

  int warm = 10, rounds = 250, gap_us = 2000, body_bytes = 100;
  std::string workdir;
  std::vector<std::string> lis, del;
  int i = 1;
  for (; i < argc; i++) {
    std::string a = argv[i];
    auto val = [&]() -> std::string {
      if (i + 1 >= argc)
        die("missing value for %s", a.c_str());
      return argv[++i];
    };
    if (a == "--warmup")
      warm = std::stoi(val());
    else if (a == "--rounds")
      rounds = std::stoi(val());
    else if (a == "--gap-us")
      gap_us = std::stoi(val());
    else if (a == "--body-bytes")
      body_bytes = std::stoi(val());
    else if (a == "--workdir")
      workdir = val();
    else if (a == "--listener")
      break;
    else
      die("unknown option %s", a.c_str());
  }
  for (i++; i < argc && std::string(argv[i]) != "--deliver"; i++)
    lis.push_back(argv[i]);
  for (i++; i < argc; i++)
    del.push_back(argv[i]);
  if (workdir.empty() || lis.empty() || del.empty() || rounds < 1)
    die("usage: wake_after_exit [--warmup N] [--rounds N] [--gap-us N] [--body-bytes N] --workdir DIR "
        "--listener CMD... --deliver CMD...");

  // listener: stdout -> our pipe, stderr -> file we watch for READY:
  int pfd[2];
  if (pipe2(pfd, O_CLOEXEC) < 0)
    die("pipe: %s", strerror(errno));
  std::string errpath = workdir + "/listener.stderr";
  int lerr = xopen(errpath.c_str(), O_WRONLY | O_CREAT | O_TRUNC);
  int devr = xopen("/dev/null", O_RDONLY), devw = xopen("/dev/null", O_WRONLY);
  g_listener = spawn(lis, devr, pfd[1], lerr);
  close(pfd[1]);
  close(lerr);
  {
    int64_t dl = now_ns() + 5000000000LL;
    for (;;) {
      char b[4096];
      int fd = xopen(errpath.c_str(), O_RDONLY);
      ssize_t n = read(fd, b, sizeof b - 1);
      close(fd);
      if (n > 0 && (b[n] = 0, strstr(b, "READY:")))
        break;
      if (now_ns() > dl)
        die("listener not ready (no READY: on its stderr within 5 s)");
      int st;
      if (waitpid(g_listener, &st, WNOHANG) == g_listener) {
        g_listener = 0;
        die("listener exited before it was ready");
      }
      usleep(1000);
    }
  }

  std::string bodyfile = workdir + "/wake_after_exit.body";
  std::string out;
  std::vector<int64_t> after_exit, to_exit, to_output;
  int fails = 0, before = 0, same = 0;
  char rb[65536];
  for (int r = 0; r < warm + rounds; r++) {
    char tok[32];
    snprintf(tok, sizeof tok, "w%07d", r);
    std::string body = std::string("afterexit-") + tok + "-";
    if (int(body.size()) < body_bytes)
      body.resize(size_t(body_bytes), 'x');
    write_file(bodyfile, body);
    int in = xopen(bodyfile.c_str(), O_RDONLY);

    int64_t t0 = now_ns();
    pid_t pid = spawn(del, in, devw, devw);
    int pidfd = int(syscall(SYS_pidfd_open, pid, 0));
    if (pidfd < 0)
      die("pidfd_open: %s (needs Linux 5.3 or later)", strerror(errno));
    int64_t t_exit = 0, t_out = 0;
    int64_t dl = now_ns() + 5000000000LL;
    while (t_exit == 0 || t_out == 0) {
      pollfd pf[2] = {{t_exit ? -1 : pidfd, POLLIN, 0}, {t_out ? -1 : pfd[0], POLLIN, 0}};
      int left = int((dl - now_ns()) / 1000000);
      if (left <= 0)
        die("round %d: no exit or no output within 5 s", r);
      int pr = poll(pf, 2, left);
      int64_t t = now_ns(); // stamp as soon as poll returns
      if (pr < 0) {
        if (errno == EINTR)
          continue;
        die("poll: %s", strerror(errno));
      }
      if (pr == 0)
        continue;
      if (!t_exit && (pf[0].revents & (POLLIN | POLLHUP | POLLERR)))
        t_exit = t;
      if (!t_out && (pf[1].revents & (POLLIN | POLLHUP | POLLERR))) {
        ssize_t n = read(pfd[0], rb, sizeof rb);
        if (n <= 0)
          die("listener closed its stdout (round %d)", r);
        out.append(rb, size_t(n));
        size_t p = out.find(tok);
        if (p != std::string::npos) {
          t_out = t;
          out.erase(0, p + strlen(tok));
        } else if (out.size() > 64) {
          out.erase(0, out.size() - 64); // keep a tail in case the token is split across reads
        }
      }
    }
    close(pidfd);
    if (!reap_ok(pid))
      fails++;
    close(in);
    if (r >= warm) {
      if (t_out < t_exit)
        before++;
      else if (t_out == t_exit)
        same++;
      after_exit.push_back(std::max<int64_t>(0, t_out - t_exit));
      to_exit.push_back(t_exit - t0);
      to_output.push_back(t_out - t0);
    }
    if (gap_us > 0)
      usleep(useconds_t(gap_us));
  }
  stop_listener();
  std::sort(after_exit.begin(), after_exit.end());
  std::sort(to_exit.begin(), to_exit.end());
  std::sort(to_output.begin(), to_output.end());
  printf("p50_us=%.1f p90_us=%.1f p99_us=%.1f max_us=%.1f min_us=%.1f out_before_exit=%d same_wakeup=%d "
         "spawn_to_exit_p50_us=%.1f spawn_to_output_p50_us=%.1f n=%d warmup=%d gap_us=%d fails=%d\n",
         pct(after_exit, .5), pct(after_exit, .9), pct(after_exit, .99), double(after_exit.back()) / 1000.0,
         double(after_exit.front()) / 1000.0, before, same, pct(to_exit, .5), pct(to_output, .5), rounds, warm, gap_us,
         fails);
  return fails ? 1 : 0;
}
