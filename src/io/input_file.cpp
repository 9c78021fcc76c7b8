// Opening an input file for line reading: a descriptor source, decompressed
// on the way when it starts like a gzip stream.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "io/byte_source.h"
#include "io/gzip.h"
#include "io/line_reader.h"

std::unique_ptr<line_reader> line_reader::open(const char* path, read_failure on_read_error, bool gzip_allowed,
                                               read_failure on_decompress_error) {
    int fd = 0;
    bool owns = false;
    if (path != nullptr) {
        fd = ::open(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0) return nullptr;
        owns = true;
    }
    // A directory opens but cannot be read: treat it as not openable.
    struct stat info;
    if (::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
        if (owns) ::close(fd);
        return nullptr;
    }
    std::unique_ptr<byte_source> source = make_fd_source(fd, owns, std::move(on_read_error));
    bool compressed = false;
    if (gzip_allowed) {
        std::string prefix = read_prefix(*source, 2);
        compressed = looks_like_gzip(prefix.data(), prefix.size());
        if (compressed) {
            source = make_gzip_source(std::move(source), std::move(prefix), std::move(on_decompress_error));
        } else {
            source = make_prefixed_source(std::move(prefix), std::move(source));
        }
    }
    auto reader = std::make_unique<line_reader>(std::move(source));
    reader->compressed_ = compressed;
    return reader;
}
