// A stand-in for the Codex CLI that honours the contract the client relies
// on ("login status"; "exec ... [--output-schema FILE] --output-last-message
// FILE -") and misbehaves on demand, which the real program cannot be made
// to do: hang, ignore SIGTERM, crash, leave no result, write an oversized,
// sparse, FIFO or linked result, start a helper process that lingers.
//
// The client passes HOME through its sanitised environment, so the test
// steers the double through files in $HOME/.codex-double/:
//
//   control   lines "key=value":
//     login_exit=N          exit status of "login status" (default 0)
//     exec_exit=N           exit status of "exec" (default 0)
//     delay_ms=N            "exec" sleeps N ms before answering (-1: forever)
//     login_delay_ms=N      the same for "login status"
//     hold=1                "exec" waits until a file "release" is there
//                           beside the control file (60 s at most), so a
//                           test decides when the answer comes
//     ignore_term=1         ignore SIGTERM (its arrival is still recorded)
//     crash_signal=N        end by raising signal N instead of exiting
//     read_stdin=0          never read standard input
//     result=KIND           answer (default: the "answer" file's bytes, or
//                           no result file when there is none), none,
//                           sparse:N (an N-byte sparse file), fifo,
//                           symlink:TARGET
//     grandchild=1          leave a helper process running (pid recorded)
//     loosen_own_folder=1   during "login status", chmod 0755 the folder
//                           holding this executable (a copy tampered with
//                           between its checks)
//   answer    the bytes written to the result file
//
// Each invocation records what it saw in $HOME/.codex-double/<mode>/ (mode
// "login" or "exec"): argv and env (NUL-separated), stdin (its bytes),
// stdin-kind ("null", "pipe", "other"), fds (open descriptors), pid, pgid,
// schema (the schema file's bytes), workdir-mode (octal), and "term" once
// SIGTERM arrived. Plain C++ and POSIX only: nothing the client links.

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

extern char **environ;

namespace {

std::string g_recordDir;
char g_termPath[4096];

std::string readAll(int fd)
{
    std::string out;
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
}

std::string readFile(const std::string &path, bool *ok = nullptr)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (ok)
        *ok = fd >= 0;
    if (fd < 0)
        return {};
    std::string out = readAll(fd);
    ::close(fd);
    return out;
}

void writeFile(const std::string &path, const std::string &bytes)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
}

void record(const std::string &name, const std::string &bytes)
{
    if (!g_recordDir.empty())
        writeFile(g_recordDir + "/" + name, bytes);
}

std::map<std::string, std::string> readControl(const std::string &path)
{
    std::map<std::string, std::string> control;
    const std::string text = readFile(path);
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(start, end - start);
        const std::size_t eq = line.find('=');
        if (eq != std::string::npos)
            control[line.substr(0, eq)] = line.substr(eq + 1);
        start = end + 1;
    }
    return control;
}

long number(const std::map<std::string, std::string> &control, const char *key, long fallback)
{
    const auto it = control.find(key);
    return it == control.end() ? fallback : std::strtol(it->second.c_str(), nullptr, 10);
}

void sleepMs(long ms)
{
    timespec ts { ms / 1000, (ms % 1000) * 1000000L };
    while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) { }
}

[[noreturn]] void sleepForever()
{
    for (;;)
        ::pause();
}

void onTerm(int)
{
    const int fd = ::open(g_termPath, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0)
        ::close(fd);
}

std::string stdinKind()
{
    struct stat in
    {
    };
    if (::fstat(STDIN_FILENO, &in) != 0)
        return "closed";
    struct stat null
    {
    };
    if (::stat("/dev/null", &null) == 0 && S_ISCHR(in.st_mode) && in.st_rdev == null.st_rdev)
        return "null";
    return S_ISFIFO(in.st_mode) ? "pipe" : "other";
}

std::string openDescriptors()
{
    std::string list;
    DIR *dir = ::opendir("/proc/self/fd");
    if (!dir)
        return list;
    const int own = ::dirfd(dir);
    while (const dirent *entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.' || std::atoi(entry->d_name) == own)
            continue;
        list += entry->d_name;
        list += ' ';
    }
    ::closedir(dir);
    return list;
}

std::string joinNul(const std::vector<std::string> &items)
{
    std::string out;
    for (const std::string &item : items) {
        out += item;
        out += '\0';
    }
    return out;
}

std::string folderOf(const std::string &path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : (slash == 0 ? std::string("/") : path.substr(0, slash));
}

} // namespace

int main(int argc, char **argv)
{
    std::vector<std::string> args(argv, argv + argc);
    const char *homeEnv = std::getenv("HOME");
    const std::string home = homeEnv ? homeEnv : "";
    const std::string base = home + "/.codex-double";
    const auto control = readControl(base + "/control");

    const bool login = argc >= 3 && args[1] == "login" && args[2] == "status";
    const bool exec = argc >= 2 && args[1] == "exec";
    const std::string mode = login ? "login" : (exec ? "exec" : "other");

    if (!home.empty()) {
        ::mkdir(base.c_str(), 0755);
        g_recordDir = base + "/" + mode;
        ::mkdir(g_recordDir.c_str(), 0755);
        std::snprintf(g_termPath, sizeof g_termPath, "%s/term", g_recordDir.c_str());
        ::unlink(g_termPath);
    }

    if (number(control, "ignore_term", 0) == 1) {
        struct sigaction action
        {
        };
        action.sa_handler = onTerm;
        ::sigaction(SIGTERM, &action, nullptr);
    }

    std::vector<std::string> env;
    for (char **e = environ; *e; ++e)
        env.emplace_back(*e);
    record("argv", joinNul(args));
    record("env", joinNul(env));
    record("stdin-kind", stdinKind());
    record("fds", openDescriptors());
    record("pid", std::to_string(::getpid()));
    record("pgid", std::to_string(::getpgrp()));

    if (number(control, "grandchild", 0) == 1) {
        const pid_t helper = ::fork();
        if (helper == 0) {
            ::signal(SIGTERM, SIG_IGN);
            sleepForever();
        }
        record("grandchild-pid", std::to_string(helper));
    }

    std::string schemaPath;
    std::string resultPath;
    bool fromStdin = false;
    for (int i = 2; i < argc; ++i) {
        if (args[i] == "--output-schema" && i + 1 < argc)
            schemaPath = args[++i];
        else if (args[i] == "--output-last-message" && i + 1 < argc)
            resultPath = args[++i];
        else if (args[i] == "-")
            fromStdin = true;
    }

    if (exec && fromStdin && number(control, "read_stdin", 1) == 1)
        record("stdin", readAll(STDIN_FILENO));
    if (!schemaPath.empty())
        record("schema", readFile(schemaPath));
    if (!resultPath.empty()) {
        struct stat st
        {
        };
        if (::stat(folderOf(resultPath).c_str(), &st) == 0) {
            char octal[16];
            std::snprintf(octal, sizeof octal, "%o", st.st_mode & 07777);
            record("workdir-mode", octal);
        }
    }

    if (login && number(control, "loosen_own_folder", 0) == 1) {
        char self[4096];
        const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
        if (n > 0) {
            self[n] = '\0';
            ::chmod(folderOf(self).c_str(), 0755);
        }
    }

    const long delay = number(control, login ? "login_delay_ms" : "delay_ms", 0);
    if (delay < 0)
        sleepForever();
    sleepMs(delay);
    if (exec && number(control, "hold", 0) == 1) {
        const std::string release = base + "/release";
        for (int waited = 0; waited < 3000 && ::access(release.c_str(), F_OK) != 0; ++waited)
            sleepMs(20);
    }

    if (login)
        return static_cast<int>(number(control, "login_exit", 0));
    if (!exec)
        return 2;

    const auto kind = control.count("result") ? control.at("result") : std::string("answer");
    if (!resultPath.empty()) {
        if (kind == "answer") {
            bool ok = false;
            const std::string answer = readFile(base + "/answer", &ok);
            if (ok)
                writeFile(resultPath, answer);
        } else if (kind.rfind("sparse:", 0) == 0) {
            const int fd = ::open(resultPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd >= 0) {
                (void)::ftruncate(fd, static_cast<off_t>(std::strtoll(kind.c_str() + 7, nullptr, 10)));
                ::close(fd);
            }
        } else if (kind == "fifo") {
            ::mkfifo(resultPath.c_str(), 0644);
        } else if (kind.rfind("symlink:", 0) == 0) {
            (void)::symlink(kind.c_str() + 8, resultPath.c_str());
        }
    }

    if (const long sig = number(control, "crash_signal", 0)) {
        // A crash, but without a core file left wherever the test runs.
        const rlimit noCore { 0, 0 };
        ::setrlimit(RLIMIT_CORE, &noCore);
        ::signal(static_cast<int>(sig), SIG_DFL);
        ::raise(static_cast<int>(sig));
    }
    return static_cast<int>(number(control, "exec_exit", 0));
}
