#include "support/atomic_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace velune {

namespace {

namespace fs = std::filesystem;

bool fail(std::string& error, const std::string& path) {
    error = path + ": " + std::strerror(errno);
    return false;
}

bool writeAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t written = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(written);
    }
    return true;
}

// The rename itself reaches the disk only with the folder.
void syncFolder(const fs::path& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

}  // namespace

bool writeFileAtomically(const std::string& path, const std::string& bytes, std::string& error) {
    const fs::path target(path);
    const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
    // One temporary name per process: saves of one process never overlap.
    const fs::path temporary =
        folder / ("." + target.filename().string() + "." + std::to_string(::getpid()) + ".tmp");
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        return fail(error, path);
    }
    bool written = writeAll(fd, bytes) && ::fsync(fd) == 0;
    int cause = errno;
    if (::close(fd) != 0 && written) {
        written = false;
        cause = errno;
    }
    if (!written) {
        ::unlink(temporary.c_str());
        errno = cause;
        return fail(error, path);
    }
    if (::rename(temporary.c_str(), target.c_str()) != 0) {
        const int renameErrno = errno;
        ::unlink(temporary.c_str());
        errno = renameErrno;
        return fail(error, path);
    }
    syncFolder(folder);
    return true;
}

}  // namespace velune
