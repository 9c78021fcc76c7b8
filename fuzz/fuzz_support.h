// What the fuzz targets share: in-memory inputs that a sub-command opens by
// path, and a run of a whole sub-command inside the fuzzing process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

// An anonymous in-memory file, named /proc/self/fd/N: every open of that
// name starts at offset 0, just as a file on disk does.
class memory_file {
public:
    memory_file();
    ~memory_file();
    memory_file(const memory_file&) = delete;
    memory_file& operator=(const memory_file&) = delete;

    // Replaces the content.
    void set(std::string_view content);
    const char* path() const { return path_.c_str(); }

private:
    int fd_;
    std::string path_;
};

// Standard output goes to /dev/null from the first call on (the tables are
// not looked at; libFuzzer reports on standard error).
void discard_standard_output();

// Runs entry with the arguments (argument zero is the sub-command's name) and
// aborts, so that libFuzzer records the input, unless the status is one of
// allowed. Returns the status.
int run_sub_command(int (*entry)(int, char**), const std::vector<std::string>& args, std::initializer_list<int> allowed);

// Splits data at the first "\n%%\n" into two files' contents; without the
// mark, both are the whole data.
void split_two(std::string_view data, std::string_view& first, std::string_view& second);
