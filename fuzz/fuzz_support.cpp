#include "fuzz_support.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "io/error.h"
#include "io/output.h"

memory_file::memory_file() : fd_(::memfd_create("morvane-fuzz", MFD_CLOEXEC)) {
    if (fd_ < 0) {
        std::perror("memfd_create");
        std::abort();
    }
    path_ = "/proc/self/fd/" + std::to_string(fd_);
}

memory_file::~memory_file() { ::close(fd_); }

void memory_file::set(std::string_view content) {
    if (::ftruncate(fd_, 0) != 0) std::abort();
    size_t done = 0;
    while (done < content.size()) {
        ssize_t n = ::pwrite(fd_, content.data() + done, content.size() - done, static_cast<off_t>(done));
        if (n <= 0) std::abort();
        done += static_cast<size_t>(n);
    }
}

void discard_standard_output() {
    static bool done = false;
    if (done) return;
    int null_fd = ::open("/dev/null", O_WRONLY);
    if (null_fd < 0 || ::dup2(null_fd, 1) < 0) std::abort();
    ::close(null_fd);
    done = true;
}

int run_sub_command(int (*entry)(int, char**), const std::vector<std::string>& args, std::initializer_list<int> allowed) {
    discard_standard_output();
    std::vector<std::string> copies = args;  // getopt may permute argv
    std::vector<char*> argv;
    for (std::string& arg : copies) argv.push_back(arg.data());
    argv.push_back(nullptr);
    int status = run_guarded(entry, static_cast<int>(copies.size()), argv.data());
    // A failed run can leave text in the buffer; the next run starts clean.
    standard_output().discard();
    if (std::find(allowed.begin(), allowed.end(), status) == allowed.end()) {
        std::fprintf(stderr, "%s ended with status %d\n", args[0].c_str(), status);
        std::abort();
    }
    return status;
}

void split_two(std::string_view data, std::string_view& first, std::string_view& second) {
    size_t mark = data.find("\n%%\n");
    if (mark == std::string_view::npos) {
        first = second = data;
        return;
    }
    first = data.substr(0, mark + 1);
    second = data.substr(mark + 4);
}
