// Compares the gzip backends on one file: inflating alone, and inflating
// with counting (the FASTQ reader and the sort of the count table, Sanger
// qualities), best of three runs each.
//
//   gzip_backends FILE.fastq.gz
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "count/count_internal.h"
#include "io/error.h"
#include "io/gzip.h"
#include "io/line_reader.h"

namespace {

class file_source : public byte_source {
public:
    explicit file_source(const char* path) : fd_(::open(path, O_RDONLY)) {
        if (fd_ < 0) fail(1, "Could not read from file %s\n", path);
    }
    ~file_source() override { ::close(fd_); }
    size_t read(char* buffer, size_t size) override {
        ssize_t got = ::read(fd_, buffer, size);
        if (got < 0) fail(1, "read error\n");
        return static_cast<size_t>(got);
    }

private:
    int fd_;
};

std::unique_ptr<line_reader> open_with(const char* path, gzip_backend backend) {
    auto raw = std::make_unique<file_source>(path);
    char magic[2];
    if (raw->read(magic, 2) != 2) fail(1, "%s is too short\n", path);
    return std::make_unique<line_reader>(make_gzip_source(std::move(raw), std::string(magic, 2),
                                                          read_failure{"Could not decompress\n", 2}, backend));
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

int run(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: gzip_backends FILE.fastq.gz\n");
        return 1;
    }
    std::printf("| backend | inflate only (s) | inflate + count (s) |\n|---|---:|---:|\n");
    for (gzip_backend backend : {gzip_backend::isal, gzip_backend::zlib}) {
        if (!gzip_backend_available(backend)) continue;
        double inflate = 1e9, counting = 1e9;
        for (int round = 0; round < 3; ++round) {
            auto start = std::chrono::steady_clock::now();
            auto in = open_with(argv[1], backend);
            std::string_view block;
            size_t bytes = 0;
            while (in->next_block(block)) bytes += block.size();
            inflate = std::min(inflate, seconds_since(start));

            start = std::chrono::steady_clock::now();
            count::settings options;
            options.quality_adj = 33;
            in = open_with(argv[1], backend);
            count::read_counter counts;
            count::read_totals totals;
            count::process_fastq(*in, options, counts, totals);
            auto sorted = counts.sort();
            counting = std::min(counting, seconds_since(start));
            if (bytes == 0 || sorted.size() != static_cast<size_t>(counts.unique())) return 1;
        }
        std::printf("| %s | %.3f | %.3f |\n", backend == gzip_backend::isal ? "ISA-L" : "zlib", inflate, counting);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) { return run_guarded(run, argc, argv); }
