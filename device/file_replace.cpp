#include "device/file_replace.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <glib.h>
#include <glib/gi18n.h>
#include <glib/gstdio.h>

namespace {

// Links are followed at most this deep, as the system does.
constexpr int deepest_link = 40;

std::string dir_of(const std::string &path)
{
    gchar *dir = g_path_get_dirname(path.c_str());
    std::string result = dir;
    g_free(dir);
    return result;
}

// The file that `path` names once every symbolic link is followed, whether it exists or not.
// False with errno set when the links go round in a circle or cannot be read.
bool link_target(const char *path, std::string &target)
{
    target = path;
    for (int depth = 0; depth < deepest_link; depth++) {
        struct stat st;
        if (lstat(target.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
            return true;
        gchar *link = g_file_read_link(target.c_str(), nullptr);
        if (link == nullptr)
            return false;
        if (g_path_is_absolute(link)) {
            target = link;
        } else {
            gchar *joined = g_build_filename(dir_of(target).c_str(), link, nullptr);
            target = joined;
            g_free(joined);
        }
        g_free(link);
    }
    errno = ELOOP;
    return false;
}

bool write_all(int fd, const std::string &data)
{
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0)
            errno = EIO;
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    return true;
}

bool fail_with_errno(std::string &reason)
{
    reason = g_strerror(errno);
    return false;
}

// Rewrites the file itself: the way for a file with several names, or in a folder where no
// new file can be made. The new contents go first and the old tail is cut after them, so that
// a failure part way leaves as much of the old file as it can.
bool write_in_place(const std::string &file, const std::string &data, std::string &reason)
{
    const int fd = g_open(file.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0);
    if (fd < 0)
        return fail_with_errno(reason);
    struct stat st;
    bool ok = fstat(fd, &st) == 0;
    if (ok && !S_ISREG(st.st_mode)) {
        // Swapped for something else since it was looked at.
        close(fd);
        reason = _("it is not an ordinary file");
        return false;
    }
    ok = ok && write_all(fd, data) && ftruncate(fd, off_t(data.size())) == 0 && fsync(fd) == 0;
    const int e = errno;
    if (close(fd) != 0 && ok)
        return fail_with_errno(reason);
    errno = e;
    return ok || fail_with_errno(reason);
}

}  // namespace

bool replace_file_contents(const char *path, const std::string &data, std::string &reason)
{
    std::string file;
    if (!link_target(path, file))
        return fail_with_errno(reason);
    struct stat st;
    const bool exists = stat(file.c_str(), &st) == 0;
    if (!exists && errno != ENOENT)
        return fail_with_errno(reason);
    if (exists && !S_ISREG(st.st_mode)) {
        // A folder, a pipe or a device in its place is nothing to replace.
        reason = _("it is not an ordinary file");
        return false;
    }
    // A file that the user made read-only stays as it is.
    if (exists && access(file.c_str(), W_OK) != 0)
        return fail_with_errno(reason);
    if (exists && st.st_nlink > 1)
        return write_in_place(file, data, reason);

    gchar *base = g_path_get_basename(file.c_str());
    std::string temporary = dir_of(file) + "/." + base + ".XXXXXX";
    g_free(base);
    // A new file is made 0666 less the umask, as any program makes its files.
    const int fd = g_mkstemp_full(temporary.data(), O_WRONLY | O_CLOEXEC, exists ? 0600 : 0666);
    if (fd < 0) {
        if (exists && (errno == EACCES || errno == EPERM || errno == EROFS))
            return write_in_place(file, data, reason);
        return fail_with_errno(reason);
    }
    bool ok = true;
    if (exists) {
        // The owner and group that the file had, where the user may give them; else the user's
        // own with the file's group if the user belongs to it. The mode last, as a change of
        // owner may clear its set-id bits.
        if (fchown(fd, st.st_uid, st.st_gid) != 0 && fchown(fd, uid_t(-1), st.st_gid) != 0) {
            // The user's own group, then.
        }
        ok = fchmod(fd, st.st_mode & 07777) == 0;
    }
    ok = ok && write_all(fd, data) && fsync(fd) == 0;
    int e = errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        e = errno;
    }
    if (ok && g_rename(temporary.c_str(), file.c_str()) != 0) {
        ok = false;
        e = errno;
    }
    if (!ok) {
        g_unlink(temporary.c_str());
        errno = e;
        return fail_with_errno(reason);
    }
    return true;
}
