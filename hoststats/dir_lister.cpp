#include "hoststats/dir_lister.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "hoststats/fd.hpp"
#include "hoststats/process_parse.hpp"

namespace hoststats {

ssize_t DirLister::fill(int dirfd) {
    // The system call itself: glibc has wrapped it only since 2.30, and
    // the module loads on older C libraries.
    return retry_interrupted([&] {
        return static_cast<ssize_t>(::syscall(SYS_getdents64, dirfd, buffer_.get(), BUFFER_BYTES));
    });
}

std::optional<Pid> DirLister::filter_pid_entries(int dirfd, const linux_dirent64& entry) {
    if (entry.d_type == DT_UNKNOWN) {
        // Some file systems leave the type out of the listing.
        struct stat st {};
        if (::fstatat(dirfd, entry.d_name(), &st, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
        if (!S_ISDIR(st.st_mode)) return std::nullopt;
    } else if (entry.d_type != DT_DIR) {
        return std::nullopt;  // "self", "thread-self" and the plain files
    }
    return pid_from_entry_name(entry.d_name());
}

}  // namespace hoststats
