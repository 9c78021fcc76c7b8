#include "harness.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <signal.h>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace {

run_result run_process(const std::vector<std::string>& argv, const std::string& input, const std::string& cwd,
                       const std::string& path_prefix) {
    int in_pipe[2], out_pipe[2], err_pipe[2];
    if (pipe(in_pipe) || pipe(out_pipe) || pipe(err_pipe)) throw std::runtime_error("pipe");
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork");
    if (pid == 0) {
        dup2(in_pipe[0], 0);
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        for (int fd : {in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]}) close(fd);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
        if (!path_prefix.empty()) {
            std::string path = path_prefix + ":" + (getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin");
            setenv("PATH", path.c_str(), 1);
        }
        signal(SIGPIPE, SIG_DFL);
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(in_pipe[0]);
    close(out_pipe[1]);
    close(err_pipe[1]);
    // Feed and drain at once so that neither side blocks on a full pipe.
    signal(SIGPIPE, SIG_IGN);
    run_result result;
    size_t fed = 0;
    int in_fd = in_pipe[1];
    if (input.empty()) {
        close(in_fd);
        in_fd = -1;
    } else {
        fcntl(in_fd, F_SETFL, O_NONBLOCK);
    }
    bool out_open = true, err_open = true;
    char chunk[65536];
    while (out_open || err_open || in_fd >= 0) {
        pollfd fds[3];
        int n = 0;
        if (out_open) fds[n++] = {out_pipe[0], POLLIN, 0};
        if (err_open) fds[n++] = {err_pipe[0], POLLIN, 0};
        if (in_fd >= 0) fds[n++] = {in_fd, POLLOUT, 0};
        if (poll(fds, n, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < n; ++i) {
            if (fds[i].revents == 0) continue;
            if (fds[i].fd == in_fd) {
                ssize_t w = write(in_fd, input.data() + fed, input.size() - fed);
                if (w > 0) fed += static_cast<size_t>(w);
                if (w < 0 && errno != EAGAIN) fed = input.size();
                if (fed == input.size()) {
                    close(in_fd);
                    in_fd = -1;
                }
                continue;
            }
            ssize_t r = read(fds[i].fd, chunk, sizeof chunk);
            bool is_out = fds[i].fd == out_pipe[0];
            if (r <= 0) {
                (is_out ? out_open : err_open) = false;
            } else {
                (is_out ? result.out : result.err).append(chunk, static_cast<size_t>(r));
            }
        }
    }
    close(out_pipe[0]);
    close(err_pipe[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

}  // namespace

std::string morvane_path() { return std::filesystem::absolute(MORVANE_EXE).string(); }

run_result run_morvane(const std::vector<std::string>& args, const std::string& input, const std::string& cwd) {
    std::vector<std::string> argv{morvane_path()};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_process(argv, input, cwd, "");
}

run_result run_shell(const std::string& command, const std::string& input, const std::string& cwd) {
    std::string folder = std::filesystem::path(morvane_path()).parent_path().string();
    return run_process({"/bin/bash", "-c", command}, input, cwd, folder);
}

scratch_dir::scratch_dir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "morvane-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp");
    path_ = pattern;
}

scratch_dir::~scratch_dir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void scratch_dir::write(const std::string& name, const std::string& content) const {
    std::ofstream file(path(name), std::ios::binary);
    file << content;
}

std::string scratch_dir::read(const std::string& name) const {
    std::ifstream file(path(name), std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

bool scratch_dir::exists(const std::string& name) const { return std::filesystem::exists(path(name)); }

std::string fastq_record(const std::string& name, const std::string& seq) {
    return "@" + name + "\n" + seq + "\n+\n" + std::string(seq.size(), 'I') + "\n";
}

std::string reverse_complement(const std::string& seq) {
    std::string out(seq.rbegin(), seq.rend());
    for (char& c : out) c = c == 'A' ? 'T' : c == 'T' ? 'A' : c == 'C' ? 'G' : c == 'G' ? 'C' : c;
    return out;
}

std::string random_letters(std::mt19937& random, size_t n, const char* alphabet) {
    std::string s;
    for (size_t i = 0; i < n; ++i) s += alphabet[random() % 4];
    return s;
}
