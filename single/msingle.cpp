// Single-instance guard on Linux.
//
// The holder of a name listens on a unix stream socket named after it, in a directory that
// only this user can enter: $XDG_RUNTIME_DIR, else the session's runtime directory for our
// user id (/run/user/UID, where XDG_RUNTIME_DIR points in every session that has one, so that
// a start without the variable meets a holder that has it, and the other way round), else a
// private directory of our own. A later start connects, sends its message and waits for one
// byte back, which the holder sends after its callback has run on the GUI thread (the socket
// is served by the default GLib main context, so whatever arrives during start-up is handled
// once the main loop runs). A holder that does not answer within a few seconds (stopped, or
// hung) is given up on.
//
// The message a later start sends, then shutting down its side for writing:
//
//   0x00                      the signal itself: all that an older holder reads and needs
//   "1" 0x00                  the format's version, decimal
//   key 0x00 value 0x00       the items, in order: a key of 1 to 32 of a-z 0-9 '-', a value
//   ...                       of any bytes but NUL (a file name, a startup-notification id)
//   0x00                      the end: an empty key
//
// At most max_message bytes in all; a start leaves out the items that do not fit. New kinds of
// item are new keys: a holder hands every item to its callback, which passes over the keys it
// does not know, so later versions of the program can add items without breaking this one. A
// change that a holder of this version could not read takes another version number; such a message (read up to its end of file, and
// no further than the bound) still counts as the signal, without items, as do a message cut
// short, one that breaks the format and one larger than the bound. A lone 0x00 that comes as
// the first and only chunk is the message of an older start, which sends nothing else and
// waits for the answer without ending its side: the message is written in one piece, far
// smaller than what a unix socket delivers in one, so the first chunk of a newer start always
// holds more than the signal byte.
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

// Long enough for a holder that is still starting up, so the normal case waits for the signal
// to be handled; short enough that a start from the desktop's launcher, which shows nothing
// while it waits, is not left hanging behind a holder that is stopped or hung.
int msingle_reply_timeout_ms = 5000;

std::string msingle_runtime_root = "/run/user";

namespace {

// The holder's callbacks: the plain one of msingle_init, or the one that takes the items.
msingle_callback user_instance_cb = nullptr;
msingle_items_callback user_items_cb = nullptr;

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

// A later start's connection, while its message comes in.
struct client {
    int fd;
    guint source;          // the watch on fd
    std::string received;  // what has come so far
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
    std::vector<client> clients;
};

holder_state holder;

constexpr char signal_byte = 0;
constexpr char handled_reply = 1;
constexpr const char *message_version = "1";
constexpr size_t max_message = 16384;
constexpr size_t max_key = 32;

bool is_key(const std::string &key)
{
    return !key.empty() && key.size() <= max_key &&
           std::all_of(key.begin(), key.end(), [](char c) {
               return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
           });
}

// A later start's message with as many of `items` as fit, in order.
std::string encode_message(const std::vector<msingle_item> &items)
{
    std::string message(1, signal_byte);
    message += message_version;
    message += '\0';
    for (const msingle_item &item : items) {
        if (!is_key(item.key) || item.value.find('\0') != std::string::npos)
            continue;
        const size_t size = item.key.size() + 1 + item.value.size() + 1;
        if (message.size() + size + 1 > max_message)
            break;
        message += item.key;
        message += '\0';
        message += item.value;
        message += '\0';
    }
    message += '\0';
    return message;
}

enum class message_state { incomplete, complete, nothing };

// Reads a message as far as it has come; `ended` once nothing more can come (end of file, or
// the bound reached). A message that is complete but carries no items it can use leaves
// `items` empty.
message_state decode_message(const std::string &bytes, bool ended,
                             std::vector<msingle_item> *items)
{
    items->clear();
    if (bytes.empty())
        return ended ? message_state::nothing : message_state::incomplete;
    // Not our format, but a signal all the same.
    if (bytes[0] != signal_byte)
        return message_state::complete;
    const auto unreadable = ended ? message_state::complete : message_state::incomplete;
    size_t at = 1;
    // The field that starts at `at` and ends at the next NUL, which `at` is moved past.
    auto field = [&](std::string *out) {
        const size_t end = bytes.find('\0', at);
        if (end == std::string::npos)
            return false;
        *out = bytes.substr(at, end - at);
        at = end + 1;
        return true;
    };
    std::string version;
    if (!field(&version))
        return unreadable;
    if (version != message_version)
        return unreadable;  // a format of a later version: ends with the start's end of file
    std::vector<msingle_item> read;
    for (;;) {
        msingle_item item;
        if (!field(&item.key))
            return unreadable;
        if (item.key.empty())
            break;
        if (!is_key(item.key))
            return message_state::complete;  // broken: the signal, without items
        if (!field(&item.value))
            return unreadable;
        read.push_back(std::move(item));
    }
    *items = std::move(read);
    return message_state::complete;
}

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
// emptied at log-out: the one XDG_RUNTIME_DIR names, else the one the session gives our user
// id, which is where the variable points when a session has it. The temporary one is the
// fallback when there is none; the cache one, in our home, is for when somebody else has taken
// the temporary name.
std::vector<std::pair<std::string, bool>> candidate_dirs()
{
    std::vector<std::pair<std::string, bool>> dirs;
    const char *runtime = g_getenv("XDG_RUNTIME_DIR");
    if (runtime && runtime[0] == '/')
        dirs.emplace_back(runtime, false);
    else
        dirs.emplace_back(msingle_runtime_root + "/" + std::to_string(geteuid()), false);
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

// Waits for `events` on `fd` until `deadline` (monotonic time): the poll() result, 0 when the
// time is up.
int poll_until(int fd, short events, gint64 deadline)
{
    for (;;) {
        const gint64 left_ms = (deadline - g_get_monotonic_time() + 999) / 1000;
        if (left_ms <= 0)
            return 0;
        pollfd p = {fd, events, 0};
        const int r = poll(&p, 1, int(std::min<gint64>(left_ms, G_MAXINT)));
        if (r < 0 && errno == EINTR)
            continue;
        return r;
    }
}

// Sends the message over a fresh connection, in one piece, and waits, up to the reply time
// limit, until the holder says that it has handled it.
signal_result signal_holder(int fd, const std::string &message)
{
    const gint64 deadline = g_get_monotonic_time() + gint64(msingle_reply_timeout_ms) * 1000;
    for (size_t sent = 0; sent < message.size();) {
        const ssize_t n = send(fd, message.data() + sent, message.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += size_t(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            // The holder's queue is full: it is alive, but not reading.
            if (poll_until(fd, POLLOUT, deadline) <= 0)
                return signal_result::unanswered;
        } else {
            return signal_result::holder_gone;
        }
    }
    // The end of the message, for a holder that reads a later version's format to its end.
    shutdown(fd, SHUT_WR);

    for (;;) {
        if (poll_until(fd, POLLIN, deadline) <= 0)
            return signal_result::unanswered;
        char reply;
        const ssize_t n = recv(fd, &reply, 1, 0);
        if (n == 1)
            return signal_result::handled;
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        // Closed without an answer: the holder died or is shutting down.
        return signal_result::holder_gone;
    }
}

gboolean listener_ready_cb(gint fd, GIOCondition condition, gpointer user_data);

client *find_client(int fd)
{
    auto it = std::find_if(holder.clients.begin(), holder.clients.end(),
                           [fd](const client &c) { return c.fd == fd; });
    return it != holder.clients.end() ? &*it : nullptr;
}

void drop_client(int fd)
{
    std::erase_if(holder.clients, [fd](const client &c) { return c.fd == fd; });
    close(fd);
}

// Takes in what a connection has sent; true once nothing more will come from it (end of file,
// an error, or the bound reached).
bool receive_from(client &c)
{
    char buffer[4096];
    for (;;) {
        const size_t room = max_message - c.received.size();
        if (room == 0)
            return true;
        const ssize_t n = recv(c.fd, buffer, std::min(room, sizeof buffer), MSG_DONTWAIT);
        if (n > 0) {
            c.received.append(buffer, size_t(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        return !(n < 0 && errno == EAGAIN);
    }
}

// A connection has something for us: (more of) a message, or its end.
gboolean client_ready_cb(gint fd, GIOCondition, gpointer)
{
    client *c = find_client(fd);
    if (!c)
        return G_SOURCE_REMOVE;
    const bool first_chunk = c->received.empty();
    const bool ended = receive_from(*c);
    std::vector<msingle_item> items;
    message_state state = decode_message(c->received, ended, &items);
    // An older start: the signal byte alone, and it waits for the answer without ending.
    if (state == message_state::incomplete && first_chunk && c->received.size() == 1)
        state = message_state::complete;
    if (state == message_state::incomplete)
        return G_SOURCE_CONTINUE;
    if (state == message_state::complete) {
        if (user_items_cb)
            user_items_cb(items);
        else if (user_instance_cb)
            user_instance_cb();
        // The callback may have run a nested main loop in which the guard was taken down.
        if (!find_client(fd))
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
        const int conn = accept4(fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (conn < 0) {
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
        if (getsockopt(conn, SOL_SOCKET, SO_PEERCRED, &peer, &len) != 0 ||
            peer.uid != geteuid()) {
            close(conn);
            continue;
        }
        const guint source = g_unix_fd_add(conn, GIOCondition(G_IO_IN | G_IO_HUP | G_IO_ERR),
                                           client_ready_cb, nullptr);
        holder.clients.push_back({conn, source, {}});
    }
}

enum class claim_result { held, signalled, unanswered, failed };

// Takes the name in one directory, or sends `message` to the process that holds it there.
claim_result claim_in_dir(unique_fd dir, const std::string &dir_path, const std::string &file,
                          const std::string &message)
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
                return claim_result::unanswered;
            return claim_result::failed;
        }
        lock.reset();  // the wait for the answer must not hold up anybody else's claim

        switch (signal_holder(conn.get(), message)) {
        case signal_result::handled:
            return claim_result::signalled;
        case signal_result::unanswered:
            return claim_result::unanswered;
        case signal_result::holder_gone:
            break;  // the name is about to be free: try again
        }
    }
    return claim_result::failed;
}

// Takes the guard, or hands `message` to its holder.
msingle_result claim(const char *name, const std::string &message)
{
    if (holder.listener.valid())
        return msingle_holding;
    const std::string file = socket_file_name(name);
    for (const auto &[path, ours] : candidate_dirs()) {
        unique_fd dir = open_private_dir(path, ours);
        if (!dir.valid())
            continue;
        switch (claim_in_dir(std::move(dir), path, file, message)) {
        case claim_result::held:
            return msingle_holding;
        case claim_result::signalled:
            return msingle_signalled;
        case claim_result::unanswered:
            return msingle_unanswered;
        case claim_result::failed:
            break;
        }
    }
    // No usable place for the guard: run without one rather than not at all.
    return msingle_holding;
}

}  // namespace

int msingle_init(const char *name, msingle_callback callback)
{
    user_instance_cb = callback;
    user_items_cb = nullptr;
    return claim(name, encode_message({})) == msingle_holding ? 1 : 0;
}

msingle_result msingle_init_with_items(const char *name, const std::vector<msingle_item> &items,
                                       msingle_items_callback callback)
{
    user_instance_cb = nullptr;
    user_items_cb = callback;
    return claim(name, encode_message(items));
}

void msingle_terminate()
{
    if (holder.rearm_source)
        g_source_remove(holder.rearm_source);
    if (holder.listener_source)
        g_source_remove(holder.listener_source);
    holder.rearm_source = holder.listener_source = 0;
    for (const client &c : holder.clients) {
        g_source_remove(c.source);
        close(c.fd);
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
