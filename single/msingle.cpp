// Single-instance guard on Linux.
//
// The holder of a name listens on a unix stream socket named after it, in a directory that
// only this user can enter: $XDG_RUNTIME_DIR, else a private directory of our own. A later
// start connects, sends the null message (one byte) and waits for one byte back, which the
// holder sends after its callback has run on the GUI thread (the socket is served by the
// default GLib main context, so whatever arrives during start-up is handled once the main
// loop runs).
//
// Why not an abstract socket: that namespace is per network namespace, not per user, so any
// local user could take the name first or make our starts hang on a socket of theirs.
//
// Claiming is serialised by a lock file beside the socket (flock, held only for the claim
// itself and released by the kernel if the process dies), so that a socket left behind by a
// dead holder can be removed and rebound without two starts both doing it. A dead holder's
// socket refuses connections, which is how it is recognised; nothing it leaves blocks the next
// start.

#include "single/msingle.h"
#include "single/msingle_linux.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <glib-unix.h>
#include <glib.h>

// Long enough for a holder that is still starting up on a slow, loaded machine, so the normal
// case always waits for the signal to be handled; short enough that a start does not sit
// invisible forever behind a holder that is stopped or hung.
int msingle_reply_timeout_ms = 30000;

namespace {

msingle_callback user_instance_cb = nullptr;

// Closes the descriptor when it goes out of scope unless released.
class unique_fd {
public:
    explicit unique_fd(int fd = -1) : fd_(fd) {}
    unique_fd(unique_fd &&other) noexcept : fd_(other.release()) {}
    unique_fd &operator=(unique_fd &&other) noexcept
    {
        reset(other.release());
        return *this;
    }
    unique_fd(const unique_fd &) = delete;
    unique_fd &operator=(const unique_fd &) = delete;
    ~unique_fd() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1)
    {
        if (fd_ >= 0)
            close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

// Where the holder keeps its state, from msingle_init to msingle_terminate.
struct holder_state {
    unique_fd dir;         // the private directory, pinned
    std::string dir_path;
    std::string socket_name;
    std::string lock_name;
    unique_fd listener;
    guint listener_source = 0;
    guint rearm_source = 0;
    std::vector<std::pair<int, guint>> clients;  // accepted connections and their watches
};

holder_state holder;

constexpr char null_message = 0;
constexpr char handled_reply = 1;

// Names the socket after the guard's name, keeping only characters that are safe in a file
// name.
std::string socket_file_name(const char *name)
{
    std::string file;
    for (const char *p = name ? name : ""; *p && file.size() < 64; p++) {
        const char c = *p;
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_';
        file += plain ? c : '_';
    }
    if (file.empty() || file[0] == '.')
        file.insert(file.begin(), '_');
    return file;
}

// Opens `path` if it is a directory that only we can enter: not a symlink, owned by us, no
// access for group or others. A directory of our own fallback that is ours but too open is
// closed up; anybody else's directory, or a too open runtime directory, is not used.
unique_fd open_private_dir(const std::string &path, bool ours_to_make)
{
    if (ours_to_make && mkdir(path.c_str(), 0700) != 0 && errno == ENOENT) {
        gchar *parent = g_path_get_dirname(path.c_str());
        g_mkdir_with_parents(parent, 0700);
        g_free(parent);
        mkdir(path.c_str(), 0700);
    }
    unique_fd dir(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (!dir.valid() || fstat(dir.get(), &st) != 0 || !S_ISDIR(st.st_mode) ||
        st.st_uid != geteuid())
        return unique_fd();
    if ((st.st_mode & 077) != 0 && !(ours_to_make && fchmod(dir.get(), 0700) == 0))
        return unique_fd();
    return dir;
}

// The directories where the guard may live, best first. The runtime directory is per user and
// emptied at log-out; the temporary one is the fallback when there is none; the cache one, in
// our home, is for when somebody else has taken the temporary name.
std::vector<std::pair<std::string, bool>> candidate_dirs()
{
    std::vector<std::pair<std::string, bool>> dirs;
    const char *runtime = g_getenv("XDG_RUNTIME_DIR");
    if (runtime && runtime[0] == '/')
        dirs.emplace_back(runtime, false);
    char own[32];
    g_snprintf(own, sizeof own, "zevrin-%lu", static_cast<unsigned long>(geteuid()));
    const std::string tmp = g_get_tmp_dir();
    dirs.emplace_back((tmp[0] == '/' ? tmp : std::string("/tmp")) + "/" + own, true);
    const std::string cache = g_get_user_cache_dir();
    if (!cache.empty() && cache[0] == '/')
        dirs.emplace_back(cache + "/zevrin", true);
    return dirs;
}

// The socket's address. Through /proc when the full path does not fit into sun_path, which
// names the same directory through the descriptor we checked.
bool make_address(const std::string &dir_path, int dir_fd, const std::string &file,
                  sockaddr_un *addr)
{
    std::memset(addr, 0, sizeof *addr);
    addr->sun_family = AF_UNIX;
    std::string path = dir_path + "/" + file;
    if (path.size() >= sizeof addr->sun_path)
        path = "/proc/self/fd/" + std::to_string(dir_fd) + "/" + file;
    if (path.size() >= sizeof addr->sun_path)
        return false;
    std::memcpy(addr->sun_path, path.c_str(), path.size());
    return true;
}

// Removes whatever is at `file` in the directory, file or empty directory alike.
bool remove_entry(int dir_fd, const std::string &file)
{
    if (unlinkat(dir_fd, file.c_str(), 0) == 0 || errno == ENOENT)
        return true;
    if (errno == EISDIR || errno == EPERM)
        return unlinkat(dir_fd, file.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT;
    return false;
}

// Opens the lock file, replacing anything in its place that is not a plain file of ours, and
// takes the lock: exclusive, or fails at once if `wait` is false and somebody holds it.
unique_fd take_lock(int dir_fd, const std::string &lock_name, bool wait)
{
    for (int attempt = 0; attempt < 3; attempt++) {
        unique_fd lock(openat(dir_fd, lock_name.c_str(),
                              O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC,
                              0600));
        struct stat st;
        bool in_the_way;
        if (lock.valid())
            in_the_way = fstat(lock.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
                         st.st_uid != geteuid();
        else  // a symlink, a directory, a socket, a file we may not open
            in_the_way = errno == ELOOP || errno == EISDIR || errno == ENXIO ||
                         errno == EACCES || errno == EPERM;
        if (!lock.valid() && !in_the_way)
            return unique_fd();
        if (in_the_way) {
            lock.reset();
            if (!remove_entry(dir_fd, lock_name))
                return unique_fd();
            continue;
        }
        int r;
        do
            r = flock(lock.get(), wait ? LOCK_EX : LOCK_EX | LOCK_NB);
        while (r != 0 && errno == EINTR);
        if (r != 0)
            return unique_fd();
        return lock;
    }
    return unique_fd();
}

enum class signal_result { handled, unanswered, holder_gone };

// Sends the null message over a fresh connection and waits, up to the reply time limit, until
// the holder says that it has handled it.
signal_result signal_holder(int fd)
{
    ssize_t n;
    do
        n = send(fd, &null_message, 1, MSG_NOSIGNAL);
    while (n < 0 && errno == EINTR);
    if (n != 1)
        return signal_result::holder_gone;

    const gint64 deadline = g_get_monotonic_time() + gint64(msingle_reply_timeout_ms) * 1000;
    for (;;) {
        const gint64 left_ms = (deadline - g_get_monotonic_time() + 999) / 1000;
        if (left_ms <= 0)
            return signal_result::unanswered;
        pollfd p = {fd, POLLIN, 0};
        const int r = poll(&p, 1, int(std::min<gint64>(left_ms, G_MAXINT)));
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return signal_result::unanswered;
        if (r == 0)
            continue;
        char reply;
        n = recv(fd, &reply, 1, 0);
        if (n == 1)
            return signal_result::handled;
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        // Closed without an answer: the holder died or is shutting down.
        return signal_result::holder_gone;
    }
}

gboolean listener_ready_cb(gint fd, GIOCondition condition, gpointer user_data);

void drop_client(int fd)
{
    auto it = std::find_if(holder.clients.begin(), holder.clients.end(),
                           [fd](const auto &c) { return c.first == fd; });
    if (it != holder.clients.end()) {
        holder.clients.erase(it);
        close(fd);
    }
}

bool is_client(int fd)
{
    return std::any_of(holder.clients.begin(), holder.clients.end(),
                       [fd](const auto &c) { return c.first == fd; });
}

// A connection has something for us: the null message, or its end.
gboolean client_ready_cb(gint fd, GIOCondition, gpointer)
{
    char message;
    const ssize_t n = recv(fd, &message, 1, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return G_SOURCE_CONTINUE;
    if (n == 1) {
        if (user_instance_cb)
            user_instance_cb();
        // The callback may have run a nested main loop in which the guard was taken down.
        if (!is_client(fd))
            return G_SOURCE_REMOVE;
        send(fd, &handled_reply, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    drop_client(fd);
    return G_SOURCE_REMOVE;
}

gboolean rearm_listener_cb(gpointer)
{
    holder.rearm_source = 0;
    if (holder.listener.valid())
        holder.listener_source =
            g_unix_fd_add(holder.listener.get(), G_IO_IN, listener_ready_cb, nullptr);
    return G_SOURCE_REMOVE;
}

// New connections: each gets a watch of its own, so one that never sends holds up no other.
gboolean listener_ready_cb(gint fd, GIOCondition, gpointer)
{
    for (;;) {
        const int client = accept4(fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (client < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return G_SOURCE_CONTINUE;
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            // Out of descriptors or the like: the connection stays queued and the listener
            // readable, so stop watching it for a second instead of spinning.
            holder.listener_source = 0;
            holder.rearm_source = g_timeout_add_seconds(1, rearm_listener_cb, nullptr);
            return G_SOURCE_REMOVE;
        }
        ucred peer;
        socklen_t len = sizeof peer;
        if (getsockopt(client, SOL_SOCKET, SO_PEERCRED, &peer, &len) != 0 ||
            peer.uid != geteuid()) {
            close(client);
            continue;
        }
        const guint source = g_unix_fd_add(client, GIOCondition(G_IO_IN | G_IO_HUP | G_IO_ERR),
                                           client_ready_cb, nullptr);
        holder.clients.emplace_back(client, source);
    }
}

enum class claim_result { held, signalled, failed };

// Takes the name in one directory, or signals the process that holds it there.
claim_result claim_in_dir(unique_fd dir, const std::string &dir_path, const std::string &file)
{
    const std::string lock_name = file + ".lock";
    sockaddr_un addr;
    if (!make_address(dir_path, dir.get(), file, &addr))
        return claim_result::failed;

    for (int attempt = 0; attempt < 8; attempt++) {
        unique_fd lock = take_lock(dir.get(), lock_name, true);
        if (!lock.valid())
            return claim_result::failed;

        unique_fd sock(socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        if (!sock.valid())
            return claim_result::failed;
        if (bind(sock.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0) {
            if (listen(sock.get(), SOMAXCONN) != 0) {
                unlinkat(dir.get(), file.c_str(), 0);
                return claim_result::failed;
            }
            holder.dir = std::move(dir);
            holder.dir_path = dir_path;
            holder.socket_name = file;
            holder.lock_name = lock_name;
            holder.listener = std::move(sock);
            holder.listener_source =
                g_unix_fd_add(holder.listener.get(), G_IO_IN, listener_ready_cb, nullptr);
            return claim_result::held;
        }
        if (errno != EADDRINUSE)
            return claim_result::failed;

        // Something is in the way. Only a socket of ours can be a holder; anything else is
        // removed, since nobody but us (or root) can have put it into our directory.
        struct stat st;
        if (fstatat(dir.get(), file.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT)
                continue;
            return claim_result::failed;
        }
        if (!S_ISSOCK(st.st_mode) || st.st_uid != geteuid()) {
            if (!remove_entry(dir.get(), file))
                return claim_result::failed;
            continue;
        }

        unique_fd conn(socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        if (!conn.valid())
            return claim_result::failed;
        int r;
        do
            r = connect(conn.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr);
        while (r != 0 && errno == EINTR);
        if (r != 0) {
            if (errno == ECONNREFUSED) {
                // Left behind by a holder that died: nobody listens on it any more.
                unlinkat(dir.get(), file.c_str(), 0);
                continue;
            }
            if (errno == ENOENT)
                continue;
            // A socket of ours that we may not use: no holder can be reached through it.
            if (errno == EACCES || errno == EPERM) {
                unlinkat(dir.get(), file.c_str(), 0);
                continue;
            }
            // Its queue is full: it is alive but not taking connections; it holds the name.
            if (errno == EAGAIN)
                return claim_result::signalled;
            return claim_result::failed;
        }
        lock.reset();  // the wait for the answer must not hold up anybody else's claim

        if (signal_holder(conn.get()) != signal_result::holder_gone)
            return claim_result::signalled;
        // It went away before answering; the name is about to be free. Try again.
    }
    return claim_result::failed;
}

}  // namespace

int msingle_init(const char *name, msingle_callback callback)
{
    user_instance_cb = callback;
    if (holder.listener.valid())
        return 1;

    const std::string file = socket_file_name(name);
    for (const auto &[path, ours] : candidate_dirs()) {
        unique_fd dir = open_private_dir(path, ours);
        if (!dir.valid())
            continue;
        switch (claim_in_dir(std::move(dir), path, file)) {
        case claim_result::held:
            return 1;
        case claim_result::signalled:
            return 0;
        case claim_result::failed:
            break;
        }
    }
    // No usable place for the guard: run without one rather than not at all.
    return 1;
}

void msingle_terminate()
{
    if (holder.rearm_source)
        g_source_remove(holder.rearm_source);
    if (holder.listener_source)
        g_source_remove(holder.listener_source);
    holder.rearm_source = holder.listener_source = 0;
    for (const auto &[fd, source] : holder.clients) {
        g_source_remove(source);
        close(fd);
    }
    holder.clients.clear();
    if (!holder.listener.valid())
        return;

    // The name is freed by removing the socket, but only under the lock, lest it is a new
    // holder's socket by now. If a start is claiming just now, closing the listener is enough:
    // that start finds the socket dead and takes it over.
    unique_fd lock = take_lock(holder.dir.get(), holder.lock_name, false);
    if (lock.valid())
        unlinkat(holder.dir.get(), holder.socket_name.c_str(), 0);
    holder.listener.reset();
    lock.reset();
    holder.dir.reset();
    holder.dir_path.clear();
    holder.socket_name.clear();
    holder.lock_name.clear();
}

std::string msingle_socket_path()
{
    return holder.listener.valid() ? holder.dir_path + "/" + holder.socket_name : std::string();
}
