// Runs the built executable and captures what it writes.
#pragma once

#include <cstddef>
#include <random>
#include <string>
#include <vector>

struct run_result {
    std::string out;
    std::string err;
    int status = -1;  // exit status, or 128 + signal number
};

// A scratch folder, removed with everything in it when the object goes.
class scratch_dir {
public:
    scratch_dir();
    ~scratch_dir();
    scratch_dir(const scratch_dir&) = delete;
    scratch_dir& operator=(const scratch_dir&) = delete;

    const std::string& path() const { return path_; }
    std::string path(const std::string& name) const { return path_ + "/" + name; }
    void write(const std::string& name, const std::string& content) const;
    std::string read(const std::string& name) const;
    bool exists(const std::string& name) const;

private:
    std::string path_;
};

// Runs morvane with the arguments (argument zero is added), feeding input on
// standard input, in the folder cwd (the current one when empty).
run_result run_morvane(const std::vector<std::string>& args, const std::string& input = "",
                       const std::string& cwd = "");

// Runs a shell command line with "morvane" standing for the executable
// (its folder is put first on PATH).
run_result run_shell(const std::string& command, const std::string& input = "", const std::string& cwd = "");

// The path of the executable under test.
std::string morvane_path();

// The reads the tests write: a FASTQ record of quality 'I' throughout, the
// other strand of a sequence (letters other than A C G T kept), and n
// letters drawn from the first four of alphabet.
std::string fastq_record(const std::string& name, const std::string& seq);
std::string reverse_complement(const std::string& seq);
std::string random_letters(std::mt19937& random, size_t n, const char* alphabet = "ACGT");
