// The played Zevrin; see played_zevrin.h.
#include "tests/fault/played_zevrin.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <poll.h>
#include <string>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

// The test's end of an emulated node (the pty master), found among our own fds by the number of
// the pty that the node leads to. Used only for poll() and read(); the emulated device keeps
// owning it and closes it at unplug, after the device thread has stopped.
int master_fd_of(emulated_device *dev)
{
    const std::string pts = emulated_device_pty_path(dev);
    DIR *d = opendir("/proc/self/fd");
    int found = -1;
    while (dirent *e = d ? readdir(d) : nullptr) {
        if (e->d_name[0] == '.')
            continue;
        const int fd = atoi(e->d_name);
        char target[64] = {};
        const std::string link = std::string("/proc/self/fd/") + e->d_name;
        if (readlink(link.c_str(), target, sizeof target - 1) <= 0 || strcmp(target, "/dev/ptmx") != 0)
            continue;
        unsigned number = 0;
        if (ioctl(fd, TIOCGPTN, &number) == 0 && pts == "/dev/pts/" + std::to_string(number)) {
            found = fd;
            break;
        }
    }
    if (d)
        closedir(d);
    return found;
}

}  // namespace

played_zevrin::played_zevrin(UMockdevTestbed *testbed, const emulated_description &d)
{
    node = emulated_device_plug(testbed, d);
    for (size_t i = 0; i < records.size(); i++)
        records[i] = {1, static_cast<uint8_t>(0x04 + i), static_cast<uint8_t>(i & 7), 1};
}

played_zevrin::played_zevrin(emulated_device *interface) : node(interface), owned(false)
{
    for (size_t i = 0; i < records.size(); i++)
        records[i] = {1, static_cast<uint8_t>(0x04 + i), static_cast<uint8_t>(i & 7), 1};
}

played_zevrin::~played_zevrin()
{
    unplug();
}

size_t played_zevrin::received_count()
{
    std::lock_guard lock(mutex);
    return received.size();
}

void played_zevrin::answer(const report9 &r)
{
    std::array<uint8_t, 8> reply{};
    bool send = false;
    {
        std::lock_guard lock(mutex);
        received.push_back(r);
        if (r[1] == 0x09 && r[2] == 0x00 && r[3] < 8 && r[3] == silent_switch) {
            // no answer
        } else if (r[1] == 0x09 && r[2] == 0x00 && r[3] < 8) {
            const auto &a = records[r[3]];
            reply = {0x09, 0x00, r[3], a[0], a[1], a[2], a[3], 0x00};
            if (garbling && r[3] == 0)
                reply[4] ^= 0x01;
            send = true;
        } else if (r[1] == 0x09 && r[2] == 0x01) {
            settings_request_at = std::chrono::steady_clock::now();
            streaming = stream_settings_ms >= 0;
            reply = {0x0A, 0x00, settings[0], settings[1], settings[2], settings[3], settings[4], settings[5]};
            send = true;
        } else if (r[1] == 0x04 && r[2] < 8) {
            records[r[2]] = {r[3], r[4], r[5], r[6]};
        } else if (r[1] == 0x07) {
            std::copy(r.begin() + 2, r.begin() + 8, settings.begin());
        } else if (r[1] == 0x08) {
            garbling = garble_after_write;
        }
    }
    // The device's reports carry no report ID: 8 payload bytes, as hidraw hands them over.
    if (send)
        emulated_device_send(node, reply.data(), reply.size());
    if (events) {
        std::array<uint8_t, 8> event{0x64, next_event++, 0x00};
        emulated_device_send(node, event.data(), event.size());
    }
}

void played_zevrin::send_unasked()
{
    if (flood) {
        std::array<uint8_t, 8> event{0x64, next_event++, 0x00};
        emulated_device_send(node, event.data(), event.size());
    }
    const auto now = std::chrono::steady_clock::now();
    if (streaming && now - last_streamed >= std::chrono::milliseconds(stream_settings_ms)) {
        last_streamed = now;
        std::array<uint8_t, 8> reply;
        {
            std::lock_guard lock(mutex);
            reply = {0x0A, 0x00, settings[0], settings[1], settings[2], settings[3], settings[4], settings[5]};
        }
        emulated_device_send(node, reply.data(), reply.size());
    }
}

void played_zevrin::run()
{
    report9 r{};
    size_t have = 0;
    for (;;) {
        pollfd fds[2] = {{master, POLLIN, 0}, {stop_fd, POLLIN, 0}};
        const int wait_ms = flood ? 0 : streaming ? stream_settings_ms : -1;
        const int ready = poll(fds, 2, wait_ms);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[1].revents != 0)
            return;
        if (ready == 0) {
            send_unasked();
            continue;
        }
        if ((fds[0].revents & POLLIN) == 0)
            return;
        // No report boundaries on the emulated node: collect 9 bytes at a time.
        ssize_t n = read(master, r.data() + have, r.size() - have);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            return;
        have += static_cast<size_t>(n);
        if (have < r.size())
            continue;
        have = 0;
        answer(r);
        if (leave_after >= 0 && received_count() >= static_cast<size_t>(leave_after)) {
            emulated_device_unplug(node);
            gone = true;
            return;
        }
    }
}

bool played_zevrin::start()
{
    master = master_fd_of(node);
    if (master < 0)
        return false;
    stop_fd = eventfd(0, EFD_CLOEXEC);
    thread = std::thread([this] { run(); });
    return true;
}

void played_zevrin::unplug()
{
    if (thread.joinable()) {
        uint64_t one = 1;
        [[maybe_unused]] ssize_t n = write(stop_fd, &one, sizeof one);
        thread.join();
    }
    if (stop_fd >= 0)
        close(stop_fd);
    stop_fd = -1;
    if (!gone && owned)
        emulated_device_unplug(node);
    gone = true;
}
